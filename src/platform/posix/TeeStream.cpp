#include "platform/TeeStream.h"

#include <sys/types.h>

#include <new>

namespace platform {
namespace {

// Large runs mean few sends; a multiple of the 1023-byte units that the
// delivery sends keeps the runs from splitting them.
constexpr std::size_t kTeeBuffer = 1023 * 256;

struct Tee {
    FILE* file;
    TeeTarget* target;
    bool failed = false;
};

ssize_t Write(void* cookie, const char* data, std::size_t length)
{
    Tee* tee = static_cast<Tee*>(cookie);
    if (tee->failed || std::fwrite(data, 1, length, tee->file) != length) {
        tee->failed = true;
        return 0;  // the stream sets its error indicator
    }
    tee->target->Take(data, length);
    return static_cast<ssize_t>(length);
}

int Close(void* cookie)
{
    Tee* tee = static_cast<Tee*>(cookie);
    const bool written = !tee->failed && std::fflush(tee->file) == 0;
    delete tee;
    return written ? 0 : -1;
}

}  // namespace

FILE* OpenTeeStream(FILE* file, TeeTarget* target)
{
    Tee* tee = new (std::nothrow) Tee{file, target};
    if (!tee) return nullptr;
    FILE* stream = fopencookie(tee, "wb", {nullptr, Write, nullptr, Close});
    if (!stream) {
        delete tee;
        return nullptr;
    }
    std::setvbuf(stream, nullptr, _IOFBF, kTeeBuffer);
    return stream;
}

}  // namespace platform
