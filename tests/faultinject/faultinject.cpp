// LD_PRELOAD library for the fault tests: makes the Nth call of one group of
// library functions fail as the system would, so that every failure path of
// a delivery can be walked through.
//
//   QUILLEX_FAULT=GROUP:N    the Nth call (from 1) of GROUP fails
//   QUILLEX_FAULT_COUNTS=F   at exit, writes "GROUP COUNT" lines to file F,
//                            and "fired 1" when the planned failure happened
//   QUILLEX_PRECREATE=KIND   just before the first file whose name starts with
//                            "~mail" is created, puts something at that path
//                            as a racing attacker would: KIND "file" an empty
//                            file, "link:T" a symbolic link to T
//   QUILLEX_PRECREATE_ALL=1  does so before every such file, not only the first
//
// Groups: open (fopen, fdopen, open), write (fwrite, fputs, fputc, putc,
// fprintf, vfprintf, fflush, write), send (send, sendto, sendmsg) and recv
// (recv, recvfrom, recvmsg; only reads that find data waiting count). A failed stream call also
// sets the stream's error indicator, as a real failed write does.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Group { OPEN, WRITE, SEND, RECV, GROUPS };
const char* const kGroupNames[GROUPS] = {"open", "write", "send", "recv"};
const int kGroupErrors[GROUPS] = {EACCES, ENOSPC, ECONNRESET, ECONNRESET};

long s_Counts[GROUPS];
bool s_Fired = false;
int s_FaultGroup = -1;
long s_FaultCall = 0;
bool s_Configured = false;
thread_local int s_Depth = 0;  // calls made by the wrapped functions themselves do not count

void Configure()
{
    if (s_Configured) return;
    s_Configured = true;
    const char* plan = std::getenv("QUILLEX_FAULT");
    if (!plan) return;
    const char* colon = std::strchr(plan, ':');
    if (!colon) return;
    for (int g = 0; g < GROUPS; ++g)
        if (std::strlen(kGroupNames[g]) == static_cast<std::size_t>(colon - plan) &&
            std::strncmp(plan, kGroupNames[g], colon - plan) == 0)
            s_FaultGroup = g;
    s_FaultCall = std::strtol(colon + 1, nullptr, 10);
}

// True when this call is the one that must fail; errno is then set.
bool Fails(Group group)
{
    if (s_Depth > 0) return false;
    Configure();
    const long call = ++s_Counts[group];
    if (group != s_FaultGroup || call != s_FaultCall) return false;
    s_Fired = true;
    errno = kGroupErrors[group];
    return true;
}

void MarkError(FILE* stream)
{
    if (stream) stream->_flags |= _IO_ERR_SEEN;  // glibc's error indicator
}

template <typename F>
F Real(F, const char* name)
{
    void* found = dlsym(RTLD_NEXT, name);
    if (!found) std::abort();
    return reinterpret_cast<F>(found);
}

#define REAL(name) static const auto real = Real(&::name, #name)

struct Inside {
    Inside() { ++s_Depth; }
    ~Inside() { --s_Depth; }
};

// A stdio write that fails sets the stream's error flag, as a real one does.
template <typename Result, typename Real, typename... Args>
Result StreamWrite(FILE* stream, Result failure, Real real, Args... args)
{
    if (Fails(WRITE)) {
        MarkError(stream);
        return failure;
    }
    Inside inside;
    return real(args...);
}

// A read that would find nothing yet does not count: how often the program
// waits depends on timing, the reads that deliver data do not.
bool NothingToRead(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
}

bool IsMessageFileName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return std::strncmp(slash ? slash + 1 : path, "~mail", 5) == 0;
}

// Wins the race for the name the program has just chosen, once.
template <typename Open>
void Precreate(Open realOpen, const char* path, int flags)
{
    static bool done = false;
    const char* plan = std::getenv("QUILLEX_PRECREATE");
    if (done || !plan || !(flags & O_CREAT) || !IsMessageFileName(path)) return;
    done = !std::getenv("QUILLEX_PRECREATE_ALL");
    Inside inside;
    const int saved = errno;
    if (std::strncmp(plan, "link:", 5) == 0) {
        if (symlink(plan + 5, path) != 0 && errno != EEXIST) std::abort();
    } else if (std::strcmp(plan, "file") == 0) {
        const int fd = realOpen(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0)
            ::close(fd);
        else if (errno != EEXIST)
            std::abort();
    }
    errno = saved;
}

// The mode argument is there only when the call creates a file.
mode_t CreationMode(int flags, va_list args)
{
    return flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <typename RealOpen>
int Open(RealOpen real, const char* path, int flags, mode_t mode)
{
    Precreate(real, path, flags);
    if (Fails(OPEN)) return -1;
    Inside inside;
    return real(path, flags, mode);
}

__attribute__((destructor)) void WriteCounts()
{
    const char* path = std::getenv("QUILLEX_FAULT_COUNTS");
    if (!path) return;
    ++s_Depth;
    char text[256];
    int length = 0;
    for (int g = 0; g < GROUPS; ++g)
        length += std::snprintf(text + length, sizeof text - length, "%s %ld\n", kGroupNames[g],
                                s_Counts[g]);
    length += std::snprintf(text + length, sizeof text - length, "fired %d\n", s_Fired ? 1 : 0);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, text, static_cast<std::size_t>(length));
        (void)ignored;
        ::close(fd);
    }
    --s_Depth;
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode)
{
    REAL(fopen);
    if (Fails(OPEN)) return nullptr;
    Inside inside;
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    REAL(fopen64);
    if (Fails(OPEN)) return nullptr;
    Inside inside;
    return real(path, mode);
}

FILE* fdopen(int fd, const char* mode)
{
    REAL(fdopen);
    if (Fails(OPEN)) return nullptr;
    Inside inside;
    return real(fd, mode);
}

int open(const char* path, int flags, ...)
{
    REAL(open);
    va_list args;
    va_start(args, flags);
    const mode_t mode = CreationMode(flags, args);
    va_end(args);
    return Open(real, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    REAL(open64);
    va_list args;
    va_start(args, flags);
    const mode_t mode = CreationMode(flags, args);
    va_end(args);
    return Open(real, path, flags, mode);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    REAL(fwrite);
    return StreamWrite(stream, size_t{0}, real, data, size, count, stream);
}

int fputs(const char* text, FILE* stream)
{
    REAL(fputs);
    return StreamWrite(stream, EOF, real, text, stream);
}

int fputc(int c, FILE* stream)
{
    REAL(fputc);
    return StreamWrite(stream, EOF, real, c, stream);
}

int putc(int c, FILE* stream)
{
    REAL(putc);
    return StreamWrite(stream, EOF, real, c, stream);
}

int vfprintf(FILE* stream, const char* format, va_list args)
{
    REAL(vfprintf);
    return StreamWrite(stream, -1, real, stream, format, args);
}

int fprintf(FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = vfprintf(stream, format, args);
    va_end(args);
    return result;
}

int fflush(FILE* stream)
{
    REAL(fflush);
    return StreamWrite(stream, EOF, real, stream);
}

ssize_t write(int fd, const void* data, size_t count)
{
    REAL(write);
    if (Fails(WRITE)) return -1;
    Inside inside;
    return real(fd, data, count);
}

ssize_t send(int fd, const void* data, size_t count, int flags)
{
    REAL(send);
    if (Fails(SEND)) return -1;
    Inside inside;
    return real(fd, data, count, flags);
}

ssize_t sendto(int fd, const void* data, size_t count, int flags, const sockaddr* to,
               socklen_t length)
{
    REAL(sendto);
    if (Fails(SEND)) return -1;
    Inside inside;
    return real(fd, data, count, flags, to, length);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags)
{
    REAL(sendmsg);
    if (Fails(SEND)) return -1;
    Inside inside;
    return real(fd, message, flags);
}

ssize_t recv(int fd, void* data, size_t count, int flags)
{
    REAL(recv);
    if (NothingToRead(fd)) return real(fd, data, count, flags);
    if (Fails(RECV)) return -1;
    Inside inside;
    return real(fd, data, count, flags);
}

ssize_t recvfrom(int fd, void* data, size_t count, int flags, sockaddr* from, socklen_t* length)
{
    REAL(recvfrom);
    if (NothingToRead(fd)) return real(fd, data, count, flags, from, length);
    if (Fails(RECV)) return -1;
    Inside inside;
    return real(fd, data, count, flags, from, length);
}

ssize_t recvmsg(int fd, msghdr* message, int flags)
{
    REAL(recvmsg);
    if (NothingToRead(fd)) return real(fd, message, flags);
    if (Fails(RECV)) return -1;
    Inside inside;
    return real(fd, message, flags);
}

}  // extern "C"
