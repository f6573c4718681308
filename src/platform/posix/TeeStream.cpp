#include "platform/TeeStream.h"

#include <sys/types.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace platform {
namespace {

// Large runs mean few sends; a multiple of the 1023-byte units that the
// delivery sends keeps the runs from splitting them.
constexpr std::size_t kTeeBuffer = 1023 * 256;
// The target's thread takes copies of the runs in blocks: two halves of a
// run, one taken while the other fills. Smaller blocks would mean a wake-up
// of a thread more often, which costs more than the copying; larger ones,
// more memory.
constexpr std::size_t kBlockSize = kTeeBuffer / 2;
constexpr std::size_t kBlocks = 2;

// Passes copies of the runs, in order, to the target on a thread of its own,
// so that writing the file and taking the runs overlap.
class Handoff {
public:
    explicit Handoff(TeeTarget* target) : m_Target(target)
    {
        for (Block& block : m_Blocks) block.data.reset(new char[kBlockSize]);
        m_Thread = std::thread([this] { Pass(); });
    }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    // Returns once every run given has been taken.
    ~Handoff()
    {
        if (m_Filling) HandOver();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Ended = true;
        }
        m_Given.notify_one();
        m_Thread.join();
    }

    void Give(const char* data, std::size_t length)
    {
        while (length > 0) {
            if (!m_Filling) m_Filling = &FreeBlock();
            const std::size_t step = std::min(length, kBlockSize - m_Filling->length);
            std::memcpy(m_Filling->data.get() + m_Filling->length, data, step);
            m_Filling->length += step;
            data += step;
            length -= step;
            if (m_Filling->length == kBlockSize) HandOver();
        }
    }

private:
    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t length = 0;
    };

    // The block after the last given, once the target has taken what it held.
    Block& FreeBlock()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Taken.wait(lock, [this] { return m_GivenCount - m_TakenCount < kBlocks; });
        Block& block = m_Blocks[m_GivenCount % kBlocks];
        block.length = 0;
        return block;
    }

    void HandOver()
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_GivenCount;
        }
        m_Given.notify_one();
        m_Filling = nullptr;
    }

    void Pass()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (;;) {
            m_Given.wait(lock, [this] { return m_TakenCount < m_GivenCount || m_Ended; });
            if (m_TakenCount == m_GivenCount) return;
            const Block& block = m_Blocks[m_TakenCount % kBlocks];
            lock.unlock();
            m_Target->Take(block.data.get(), block.length);
            lock.lock();
            ++m_TakenCount;
            m_Taken.notify_one();
        }
    }

    TeeTarget* m_Target;
    Block m_Blocks[kBlocks];
    Block* m_Filling = nullptr;
    std::mutex m_Mutex;
    std::condition_variable m_Given;
    std::condition_variable m_Taken;
    std::size_t m_GivenCount = 0;
    std::size_t m_TakenCount = 0;
    bool m_Ended = false;
    std::thread m_Thread;
};

struct Tee {
    Tee(FILE* file_, TeeTarget* target_, bool alongside_)
        : file(file_), target(target_), alongside(alongside_)
    {
    }

    FILE* file;
    TeeTarget* target;
    bool alongside;
    bool failed = false;
    bool started = false;
    std::uint64_t passed = 0;
    std::unique_ptr<Handoff> handoff;

    // The runs of a message's first buffer are taken in turn, so that a
    // message within one buffer starts no thread; so are those of a message
    // that cannot have a thread or the memory for its blocks.
    void Pass(const char* data, std::size_t length)
    {
        if (alongside && !started && passed >= kTeeBuffer) {
            started = true;
            try {
                handoff = std::make_unique<Handoff>(target);
            } catch (...) {
                // no thread: the runs are taken in turn
            }
        }
        passed += length;
        if (handoff)
            handoff->Give(data, length);
        else
            target->Take(data, length);
    }
};

ssize_t Write(void* cookie, const char* data, std::size_t length)
{
    Tee* tee = static_cast<Tee*>(cookie);
    if (tee->failed || std::fwrite(data, 1, length, tee->file) != length) {
        tee->failed = true;
        return 0;  // the stream sets its error indicator
    }
    tee->Pass(data, length);
    return static_cast<ssize_t>(length);
}

int Close(void* cookie)
{
    Tee* tee = static_cast<Tee*>(cookie);
    tee->handoff.reset();
    const bool written = !tee->failed && std::fflush(tee->file) == 0;
    delete tee;
    return written ? 0 : -1;
}

}  // namespace

FILE* OpenTeeStream(FILE* file, TeeTarget* target, bool alongside)
{
    Tee* tee = new (std::nothrow) Tee(file, target, alongside);
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
