// LD_PRELOAD library for the fault tests: the Nth call of one group of
// library functions fails as the system would (a stream's error flag set too).
//   QUILLEX_FAULT=GROUP:N    the Nth call (from 1) of GROUP fails
//   QUILLEX_FAULT_COUNTS=F   at exit, "GROUP COUNT" lines and "fired 1" go to F
//   QUILLEX_PRECREATE=KIND   as a racing attacker, puts "file" (empty) or "link:T"
//                            at the first "~mail..." path just before its creation
//   QUILLEX_PRECREATE_ALL=1  before every such file
// Groups: open (fopen, fdopen, open), write (fwrite, fputs, fputc, putc,
// fprintf, vfprintf, fflush, write). Failing sends and receives are the unit
// tests' (transport_test: DialogueFiles), over a stream of their own.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Group { OPEN, WRITE, GROUPS };
const char* const kGroupNames[GROUPS] = {"open", "write"};
const int kGroupErrors[GROUPS] = {EACCES, ENOSPC};

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
        if (std::string(plan, colon) == kGroupNames[g]) s_FaultGroup = g;
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

// One row per wrapped function: its result type and name, its group, the
// result of a failed call, the stream whose error flag a failure sets (or
// nullptr), and its parameters and arguments.
#define WRAP(Result, name, group, failure, stream, params, args) \
    Result name params                                           \
    {                                                            \
        REAL(name);                                              \
        if (Fails(group)) {                                      \
            MarkError(stream);                                   \
            return failure;                                      \
        }                                                        \
        Inside inside;                                           \
        return real args;                                        \
    }

extern "C" {

// clang-format off
WRAP(FILE*, fopen, OPEN, nullptr, nullptr, (const char* path, const char* mode), (path, mode))
WRAP(FILE*, fopen64, OPEN, nullptr, nullptr, (const char* path, const char* mode), (path, mode))
WRAP(FILE*, fdopen, OPEN, nullptr, nullptr, (int fd, const char* mode), (fd, mode))
WRAP(size_t, fwrite, WRITE, 0, stream,
     (const void* data, size_t size, size_t count, FILE* stream), (data, size, count, stream))
WRAP(int, fputs, WRITE, EOF, stream, (const char* text, FILE* stream), (text, stream))
WRAP(int, fputc, WRITE, EOF, stream, (int c, FILE* stream), (c, stream))
WRAP(int, putc, WRITE, EOF, stream, (int c, FILE* stream), (c, stream))
WRAP(int, vfprintf, WRITE, -1, stream, (FILE* stream, const char* format, va_list args),
     (stream, format, args))
WRAP(int, fflush, WRITE, EOF, stream, (FILE* stream), (stream))
WRAP(ssize_t, write, WRITE, -1, nullptr, (int fd, const void* data, size_t count),
     (fd, data, count))
// clang-format on

// The mode argument is there only when the call creates a file.
#define WRAP_OPEN(name)                                                                 \
    int name(const char* path, int flags, ...)                                          \
    {                                                                                   \
        REAL(name);                                                                     \
        va_list args;                                                                   \
        va_start(args, flags);                                                          \
        const mode_t mode =                                                             \
            flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0; \
        va_end(args);                                                                   \
        Precreate(real, path, flags);                                                   \
        if (Fails(OPEN)) return -1;                                                     \
        Inside inside;                                                                  \
        return real(path, flags, mode);                                                 \
    }

WRAP_OPEN(open)
WRAP_OPEN(open64)

int fprintf(FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = vfprintf(stream, format, args);
    va_end(args);
    return result;
}

}  // extern "C"
