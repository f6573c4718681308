#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// A finished message read from a stream and written in its wire form: every
// line end (LF, CR LF or a lone CR) CR LF, a "." that begins a line doubled,
// every other byte as it came.

constexpr std::size_t kMaxHeaderBlock = 1024 * 1024;

// READ: the body follows on the input; ENDED: the input ended with the
// header block, at its end or at a line holding one "." when dotEnds.
enum class HeaderBlock { READ, ENDED, TOO_LARGE, UNREADABLE };

// The header fields, each with its folded lines and its line ends made CR LF.
// The block ends at a blank line, which is dropped, or at the first line that
// is no field ("name:" with a name of printable ASCII) nor the fold of one:
// that line begins the body and is left in bodyStart. A first line "From ..."
// of a mailbox, and a ">From ..." after it, are dropped. A block longer than
// kMaxHeaderBlock bytes is refused; so is input that cannot be read.
HeaderBlock ReadHeaderBlock(FILE* input, bool dotEnds, std::vector<std::string>& fields,
                            std::string& bodyStart);

// "Name" of "Name: value"; its value, after the colon, as written.
std::string FieldName(const std::string& field);
std::string FieldValue(const std::string& field);
bool IsField(const std::string& field, const char* name);

// Writes text in wire form to a file. The last line end is held back: the
// end-of-data marker brings its own.
class WireWriter {
public:
    explicit WireWriter(FILE* out) : m_Out(out) {}

    void Write(const char* data, std::size_t length);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    // Copies input to its end, or, with dotEnds, to a line holding one ".".
    // False when the input cannot be read.
    bool CopyFrom(FILE* input, bool dotEnds);
    // Writes what a line in progress holds back. False when a write failed.
    bool Finish();

    bool HasEightBit() const { return m_EightBit; }

private:
    enum class State { LINE_START, MIDDLE, CR, DOT, DOT_CR, ENDED };

    // Returns false at the dot line that ends the input.
    bool Take(char c, bool dotEnds);
    // The line of a single dot just read: the end of the input, or "..".
    bool DotLine(bool dotEnds);
    void Put(const char* data, std::size_t length);
    void NoteEightBit(const char* data, std::size_t length);
    void EndLine();
    void Flush();

    FILE* m_Out;
    std::string m_Pending;  // written in blocks: a byte at a time would be slow
    State m_State = State::LINE_START;
    bool m_LineEndHeld = false;
    bool m_EightBit = false;
};
