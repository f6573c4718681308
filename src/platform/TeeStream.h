#pragma once

#include <cstddef>
#include <cstdio>

// A stream whose writes reach a file and, in the same pass, a second target.
namespace platform {

// Takes each run of bytes written to a tee stream, in order, once it is in
// the file; on a thread of its own when the stream takes them alongside.
class TeeTarget {
public:
    virtual void Take(const char* data, std::size_t length) noexcept = 0;

protected:
    ~TeeTarget() = default;
};

// A buffered write-only stream: every run of bytes it passes on goes to file
// (fwrite), then to target. After a failed write to file it takes no more,
// its error indicator is set and errno tells why. Closing it (fclose) leaves
// file open and flushed, once target has taken every run. With alongside,
// target may take the runs on another thread while the next are written;
// the caller then leaves target's state alone until the stream is closed.
// Null where the system makes no such stream: the caller then writes to
// file alone.
FILE* OpenTeeStream(FILE* file, TeeTarget* target, bool alongside);

}  // namespace platform
