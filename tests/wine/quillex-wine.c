/* Runs the Windows program under Wine through the launcher, keeping argument
 * 0, and undoes exactly the CR its text-mode console streams put before each
 * LF, so that the tests compare the same bytes as on POSIX. */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

struct stream {
    int from, to;
    int held_cr; /* a CR at the end of the last read: dropped if LF follows */
};

static void put(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t done = write(fd, data, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return;
        data += done;
        length -= (size_t)done;
    }
}

/* Copies what is there; 0 at end of stream. */
static int pass(struct stream* s)
{
    char in[65536], out[65537];
    ssize_t got = read(s->from, in, sizeof in);
    if (got < 0 && errno == EINTR) return 1;
    if (got <= 0) {
        if (s->held_cr) put(s->to, "\r", 1);
        s->held_cr = 0;
        return 0;
    }
    size_t n = 0;
    for (ssize_t i = 0; i < got; ++i) {
        if (s->held_cr && in[i] != '\n') out[n++] = '\r';
        s->held_cr = in[i] == '\r';
        if (!s->held_cr) out[n++] = in[i];
    }
    put(s->to, out, n);
    return 1;
}

int main(int argc, char** argv)
{
    char** args = calloc((size_t)argc + 4, sizeof *args);
    int out[2], err[2];
    if (!args || pipe(out) != 0 || pipe(err) != 0) return 127;
    args[0] = WINE;
    args[1] = LAUNCHER;
    args[2] = PROGRAM;
    for (int i = 0; i < argc; ++i) args[3 + i] = argv[i];
    pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        setenv("WINEPREFIX", PREFIX, 1);
        setenv("WINEDEBUG", "-all", 1);
        execv(WINE, args);
        perror("quillex-wine: " WINE);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct stream streams[2] = {{out[0], 1, 0}, {err[0], 2, 0}};
    int open_streams = 2, status = 0, exited = 0;
    struct pollfd wait_for[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    /* Until both streams end; once the program has gone, only what is
     * already there (a helper of Wine may still hold a stream open). */
    while (open_streams > 0) {
        int ready = poll(wait_for, 2, exited ? 0 : 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0) {
            if (exited) break;
            exited = waitpid(child, &status, WNOHANG) == child;
            continue;
        }
        for (int i = 0; i < 2; ++i)
            if (wait_for[i].fd >= 0 && (wait_for[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                !pass(&streams[i])) {
                wait_for[i].fd = -1;
                --open_streams;
            }
    }
    if (!exited) waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
