#include "mail/RawMessage.h"

#include <cctype>
#include <cstring>

namespace {

constexpr std::size_t kBlock = 65536;

enum class Line { ENDED, LAST, NONE, TOO_LARGE };

// One line without its line end: ENDED when it had one (LF, CR LF or a lone
// CR), LAST for a last line without one, NONE at the end of input.
Line ReadLine(FILE* input, std::string& line, std::size_t& left)
{
    line.clear();
    for (int c; (c = std::getc(input)) != EOF;) {
        if (left == 0) return Line::TOO_LARGE;
        --left;
        if (c == '\n') return Line::ENDED;
        if (c == '\r') {
            const int next = std::getc(input);
            if (next != '\n' && next != EOF) std::ungetc(next, input);
            return Line::ENDED;
        }
        line += static_cast<char>(c);
    }
    return line.empty() ? Line::NONE : Line::LAST;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "name:" with a name of printable ASCII and no blank before the colon.
bool IsFieldLine(const std::string& line)
{
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (line[i] <= ' ' || line[i] > '~') return false;
    return true;
}

// The From_ line of a mailbox, and the ">From " one that some writers add.
bool IsEnvelopeLine(const std::string& line, int number, bool firstDropped)
{
    return (number == 0 && StartsWith(line, "From ")) ||
           (number == 1 && firstDropped && StartsWith(line, ">From "));
}

}  // namespace

HeaderBlock ReadHeaderBlock(FILE* input, bool dotEnds, std::vector<std::string>& fields,
                            std::string& bodyStart)
{
    std::size_t left = kMaxHeaderBlock;
    std::string line;
    bool dropped = false;
    for (int number = 0;; ++number) {
        const Line got = ReadLine(input, line, left);
        if (got == Line::TOO_LARGE) return HeaderBlock::TOO_LARGE;
        if (got == Line::NONE)
            return std::ferror(input) ? HeaderBlock::UNREADABLE : HeaderBlock::ENDED;
        if (IsEnvelopeLine(line, number, dropped)) {
            dropped = true;
            continue;
        }
        if (dotEnds && line == ".") return HeaderBlock::ENDED;
        if (line.empty()) return HeaderBlock::READ;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            fields.back() += line + "\r\n";
        } else if (IsFieldLine(line)) {
            fields.push_back(line + "\r\n");
        } else {
            bodyStart = line + (got == Line::ENDED ? "\r\n" : "");
            return HeaderBlock::READ;
        }
    }
}

std::string FieldName(const std::string& field)
{
    const std::size_t colon = field.find(':');
    std::string name = field.substr(0, colon == std::string::npos ? 0 : colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    return name;
}

std::string FieldValue(const std::string& field)
{
    const std::size_t colon = field.find(':');
    return colon == std::string::npos ? std::string() : field.substr(colon + 1);
}

bool IsField(const std::string& field, const char* name)
{
    const std::string given = FieldName(field);
    std::size_t i = 0;
    for (; i < given.size() && name[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(given[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    return i == given.size() && name[i] == '\0';
}

void WireWriter::Flush()
{
    std::fwrite(m_Pending.data(), 1, m_Pending.size(), m_Out);
    m_Pending.clear();
}

void WireWriter::Put(const char* data, std::size_t length)
{
    if (m_LineEndHeld) m_Pending += "\r\n";
    m_LineEndHeld = false;
    m_Pending.append(data, length);
    if (m_Pending.size() >= kBlock) Flush();
}

void WireWriter::EndLine()
{
    if (m_LineEndHeld) Put("", 0);
    m_LineEndHeld = true;
    m_State = State::LINE_START;
}

void WireWriter::NoteEightBit(const char* data, std::size_t length)
{
    for (std::size_t i = 0; i < length && !m_EightBit; ++i)
        if (static_cast<unsigned char>(data[i]) >= 0x80) m_EightBit = true;
}

bool WireWriter::DotLine(bool dotEnds)
{
    if (dotEnds) {
        m_State = State::ENDED;
        return false;
    }
    Put("..", 2);
    EndLine();
    return true;
}

bool WireWriter::Take(char c, bool dotEnds)
{
    NoteEightBit(&c, 1);
    switch (m_State) {
    case State::ENDED: return false;
    case State::CR:
        EndLine();
        if (c == '\n') return true;
        break;  // a lone CR ended the line, and c begins the next
    case State::DOT:
        if (c == '\r') {
            m_State = State::DOT_CR;
            return true;
        }
        if (c == '\n') return DotLine(dotEnds);
        Put("..", 2);
        m_State = State::MIDDLE;
        break;
    case State::DOT_CR:
        if (!DotLine(dotEnds)) return false;
        if (c == '\n') return true;
        break;
    case State::LINE_START:
    case State::MIDDLE: break;
    }
    if (c == '.' && m_State == State::LINE_START) {
        m_State = State::DOT;
    } else if (c == '\n') {
        EndLine();
    } else if (c == '\r') {
        m_State = State::CR;
    } else {
        Put(&c, 1);
        m_State = State::MIDDLE;
    }
    return true;
}

void WireWriter::Write(const char* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) Take(data[i], false);
}

bool WireWriter::CopyFrom(FILE* input, bool dotEnds)
{
    char block[16384];  // resident stack for the whole run, so kept small
    std::size_t count;
    while ((count = std::fread(block, 1, sizeof block, input)) > 0) {
        for (std::size_t i = 0; i < count;) {
            // Inside a line, everything up to its end goes as it is.
            std::size_t end = i;
            if (m_State == State::MIDDLE)
                while (end < count && block[end] != '\n' && block[end] != '\r') ++end;
            if (end > i) {
                NoteEightBit(block + i, end - i);
                Put(block + i, end - i);
                i = end;
            } else if (!Take(block[i++], dotEnds)) {
                return true;
            }
        }
    }
    // A "." on the last line, without a line end, is a dot line too.
    if (dotEnds && (m_State == State::DOT || m_State == State::DOT_CR)) m_State = State::ENDED;
    return !std::ferror(input);
}

bool WireWriter::Finish()
{
    // A last line of a single dot keeps it; the end-of-data marker brings the line end.
    if (m_State == State::DOT || m_State == State::DOT_CR) Put("..", 2);
    if (m_State == State::CR) EndLine();
    m_State = State::ENDED;
    Flush();
    return std::fflush(m_Out) == 0 && !std::ferror(m_Out);
}
