// quillex_measure - runs one command and reports what it cost.
//
// usage: quillex_measure [-i STDIN] [-o STDOUT] [-e STDERR] [-t SECONDS] -- COMMAND [ARGS...]
// Prints one line: "wall_s user_s sys_s maxrss_kib status" (status: the exit
// status, or 128+signal). Wall time is taken around fork/exec/wait; CPU time
// and peak RSS come from wait4(), so they include the command's own children.
// -t kills the command after SECONDS (default 600), so a hung peer cannot stall a run.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

void Redirect(const std::string& path, int target, int flags)
{
    if (path.empty()) return;
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0 || dup2(fd, target) < 0) {
        std::fprintf(stderr, "quillex_measure: %s: %s\n", path.c_str(), std::strerror(errno));
        _exit(126);
    }
    close(fd);
}

volatile sig_atomic_t g_TimedOut = 0;
pid_t g_Child = 0;

void OnAlarm(int)
{
    g_TimedOut = 1;
    if (g_Child > 0) kill(g_Child, SIGKILL);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string in, out, err;
    unsigned limit = 600;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) break;
        if (a == "-i")
            in = argv[++i];
        else if (a == "-o")
            out = argv[++i];
        else if (a == "-e")
            err = argv[++i];
        else if (a == "-t")
            limit = static_cast<unsigned>(std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "quillex_measure: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr,
                     "usage: quillex_measure [-i IN] [-o OUT] [-e ERR] [-t S] -- CMD [ARGS]\n");
        return 2;
    }

    double start = Now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        Redirect(in, 0, O_RDONLY);
        Redirect(out, 1, O_WRONLY | O_CREAT | O_TRUNC);
        Redirect(err, 2, O_WRONLY | O_CREAT | O_TRUNC);
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "quillex_measure: %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    g_Child = pid;
    signal(SIGALRM, OnAlarm);
    alarm(limit);

    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            perror("wait4");
            return 2;
        }
    }
    double wall = Now() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %.6f %.6f %ld %d%s\n", wall, Seconds(ru.ru_utime), Seconds(ru.ru_stime),
                ru.ru_maxrss, code, g_TimedOut ? " timeout" : "");
    return 0;
}
