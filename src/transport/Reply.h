#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/SmtpError.h"
#include "transport/Stream.h"

namespace transport {

constexpr std::size_t kReplyBufferSize = 32768;  // a reply holds at most 32767 bytes

// One reply as the server wrote it: "250-first\r\n250 last\r\n".
struct Reply {
    int code = -1;  // the three digits of the first line; -1 when they are not digits
    std::vector<std::string> lines;  // each line's text after the code and its separator
    std::size_t length = 0;          // bytes up to the end of the first final line
};

// The server's reply is judged by its first byte alone.
bool IsAccepted(const char* reply);

// Complete: the bytes end with CR LF and the last line is final, that is, its
// fourth byte is not "-" (lines of a multi-line reply may come in separate reads).
bool IsCompleteReply(const char* text, std::size_t length);
// The code and the lines of reply text up to its first final line, for the
// commands that read what a reply says (capabilities, challenges); judging
// needs none of it. Bytes past length were sent after the reply ended.
Reply ParseReply(const char* text, std::size_t length);

// FAILED_TO_SEND or FAILED_TO_RECEIVE for a stream call that failed: the
// system's error code, and the limit when it was the time that ran out.
[[noreturn]] void FailIo(SmtpError code, const char* call, platform::IoStatus status, int limit);

// Where a reply ends: at its final line, or, for NNTP's lists (a 1xx status
// line followed by data), at the line holding only ".".
enum class ReplyEnd { FINAL_LINE, DOT_LINE };

// Reads one reply at a time into a buffer of its own.
class ReplyReader {
public:
    // Reads until the reply is complete, within limit seconds; with -d every
    // read is shown. FAILED_TO_RECEIVE on an error, a closed connection, a
    // full buffer or the time limit.
    void Read(Stream& stream, int limit, ReplyEnd end = ReplyEnd::FINAL_LINE);

    // The reply last read, NUL-terminated; it may hold a NUL of its own.
    const char* Text() const { return m_Buffer.data(); }
    std::size_t Length() const { return m_Held; }
    // What the reply says, parsed once: its code, its lines, where it ends.
    const Reply& Parsed() const;
    int Code() const { return Parsed().code; }
    const std::vector<std::string>& Lines() const { return Parsed().lines; }
    // The judgement, by the first byte: 1, 2 and 3 accept. A completion
    // begins with 2, a transient refusal with 4.
    bool Accepted() const { return IsAccepted(Text()); }
    bool Completed() const { return m_Buffer[0] == '2'; }
    bool Transient() const { return m_Buffer[0] == '4'; }

    // Splitting, for pipelined commands: bytes past the first complete reply
    // of a read are kept for the next Read instead of joining this reply.
    void SetSplitting(bool on) { m_Splitting = on; }

private:
    bool TakeFirstReply();

    std::array<char, kReplyBufferSize> m_Buffer{};
    std::size_t m_Held = 0;
    bool m_Splitting = false;
    std::string m_Carried;
    mutable std::optional<Reply> m_Parsed;
};

// The reply's first line without its line end, printable, for messages.
std::string FirstLine(const ReplyReader& reply);
// Reply bytes made printable for the terminal: line ends, a CR that ends
// the bytes (half of a line end split across reads) and TABs stay; any
// other control byte or byte that is not UTF-8 shows as \xNN.
std::string PrintableReply(const char* text, std::size_t length);

}  // namespace transport
