#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "platform/FileStatus.h"
#include "platform/TeeStream.h"
#include "transport/Session.h"
#include "transport/SpooledMessage.h"

namespace transport {
namespace {

// The file is read in blocks of whole units; without -d up to this many
// units go to the kernel in one call.
constexpr std::size_t kUnitsPerBlock = 256;
constexpr std::size_t kBlockSize = kUnitSize * kUnitsPerBlock;

[[noreturn]] void FailToRead(const char* fileName)
{
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to read tmp file '%s'. Aborting.\n", fileName);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to read tmp file \"" << fileName << "\". Aborting.";
    throw error;
}

// The message in units: every full unit leaves as soon as a byte after it
// is known, the last one (1 to 1023 bytes) waits for the end-of-data marker.
// A failed send stops the sending, never the writing of the file that feeds
// it; Finish throws it.
class Units : public platform::TeeTarget {
public:
    explicit Units(Connection& connection) : m_Connection(connection) { m_Held.reserve(kUnitSize); }

    void Take(const char* data, std::size_t length) noexcept override
    {
        if (m_Stopped) return;
        try {
            Stage(data, length);
        } catch (...) {
            m_Failure = std::current_exception();
            m_Stopped = true;
        }
    }

    // Nothing more is sent: the message will not be ended.
    void Stop() { m_Stopped = true; }

    void ThrowFailure() const
    {
        if (m_Failure) std::rethrow_exception(m_Failure);
    }

    // The last unit joins the pending text, to leave with the marker;
    // after a failed send, that failure instead.
    std::exception_ptr Finish(CSMTPEmail& email)
    {
        if (!m_Failure) email.m_SendBuffer.append(m_Held);
        m_Held.clear();
        return m_Failure;
    }

private:
    void Stage(const char* data, std::size_t length)
    {
        while (length > 0) {
            if (m_Held.empty() || m_Held.size() == kUnitSize) {
                const std::size_t units = (length - 1) / kUnitSize;
                SendFull(data, units);
                data += units * kUnitSize;
                length -= units * kUnitSize;
            }
            const std::size_t taken = std::min(kUnitSize - m_Held.size(), length);
            m_Held.append(data, taken);
            data += taken;
            length -= taken;
        }
    }

    // The held unit when it is full, then count units of data.
    void SendFull(const char* data, std::size_t count)
    {
        const bool held = m_Held.size() == kUnitSize;
        if (g_Debug) {
            if (held) m_Connection.SendUnit(m_Held.data(), kUnitSize);
            for (std::size_t i = 0; i < count; ++i)
                m_Connection.SendUnit(data + i * kUnitSize, kUnitSize);
        } else {
            platform::SendPiece pieces[kUnitsPerBlock];
            std::size_t used = 0;
            if (held) pieces[used++] = {m_Held.data(), kUnitSize};
            for (std::size_t i = 0; i < count; ++i) {
                if (used == kUnitsPerBlock) {
                    m_Connection.SendUnits(pieces, used);
                    used = 0;
                }
                pieces[used++] = {data + i * kUnitSize, kUnitSize};
            }
            if (used > 0) m_Connection.SendUnits(pieces, used);
        }
        if (held) m_Held.clear();
    }

    Connection& m_Connection;
    std::string m_Held;
    std::atomic<bool> m_Stopped{false};
    std::exception_ptr m_Failure;
};

// Closes the tee stream; when the message is abandoned, its last bytes
// reach the file but not the server.
class TeeStream {
public:
    TeeStream(FILE* file, Units& units)
        : m_Units(units), m_Stream(platform::OpenTeeStream(file, &units, !g_Debug))
    {
    }
    TeeStream(const TeeStream&) = delete;
    TeeStream& operator=(const TeeStream&) = delete;
    ~TeeStream()
    {
        if (!m_Stream) return;
        m_Units.Stop();
        std::fclose(m_Stream);
    }

    FILE* Stream() const { return m_Stream; }
    // False when the last bytes did not reach the file.
    bool Close()
    {
        FILE* stream = m_Stream;
        m_Stream = nullptr;
        return std::fclose(stream) == 0;
    }

private:
    Units& m_Units;
    FILE* m_Stream;
};

}  // namespace

void StreamMessageFile(CSMTPEmail& email, Connection& connection, FILE* file, const char* fileName)
{
    Units units(connection);
    std::vector<char> block(kBlockSize);
    for (;;) {
        const std::size_t held = std::fread(block.data(), 1, kBlockSize, file);
        if (std::ferror(file)) FailToRead(fileName);
        if (held == 0) break;
        units.Take(block.data(), held);
        units.ThrowFailure();
    }
    units.Finish(email);
    units.ThrowFailure();
}

std::exception_ptr WriteAndStream(CSMTPEmail& email, Connection& connection,
                                  SpooledMessage& message)
{
    email._SendText(connection, nullptr, SEND_FLUSH);
    Units units(connection);
    TeeStream tee(message.File(), units);
    if (!tee.Stream()) {
        email.WriteMessageFile(message.File(), message.Name());
        message.Rewind();
        try {
            StreamMessageFile(email, connection, message.File(), message.Name());
        } catch (const CSMTPException&) {
            return std::current_exception();
        }
        return nullptr;
    }
    email.WriteMessageFile(tee.Stream(), message.Name());
    const bool closed = tee.Close();
    // The whole message is in the file before the server may hear its end,
    // and before a failed connection lets the delivery end.
    message.Rewind();
    if (!closed) message.FailWrite();
    return units.Finish(email);
}

std::exception_ptr OutgoingMessage::Stream(Connection& connection)
{
    if (!m_Email.m_RawMessage) {
        m_Spooled.emplace();
        return WriteAndStream(m_Email, connection, *m_Spooled);
    }
    try {
        StreamAgain(connection);
    } catch (const CSMTPException&) {
        return std::current_exception();
    }
    return nullptr;
}

void OutgoingMessage::StreamAgain(Connection& connection)
{
    if (m_Spooled)
        m_Spooled->Rewind();
    else if (std::fseek(m_Email.m_RawMessage, 0, SEEK_SET) != 0)
        FailToRead(Name());
    m_Email._SendText(connection, nullptr, SEND_FLUSH);
    StreamMessageFile(m_Email, connection, m_Spooled ? m_Spooled->File() : m_Email.m_RawMessage,
                      Name());
}

const char* OutgoingMessage::Name() const
{
    return m_Spooled ? m_Spooled->Name() : m_Email.m_RawMessageName.c_str();
}

std::uint64_t OutgoingMessage::Size() const
{
    std::uint64_t size = 0;
    return platform::FileSize(Name(), size) ? size : 0;
}

}  // namespace transport
