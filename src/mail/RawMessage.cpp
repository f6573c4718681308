#include "mail/RawMessage.h"

#include <cctype>

namespace {

constexpr std::size_t kBlock = 65536;

bool IsLineEnd(const std::string& line)
{
    return line == "\n" || line == "\r\n";
}

bool IsDotLine(const std::string& line)
{
    return line == ".\n" || line == ".\r\n";
}

// One line with its LF; false at the end of input or past the limit.
bool ReadLine(FILE* input, std::string& line, std::size_t& left)
{
    line.clear();
    for (int c; (c = std::getc(input)) != EOF;) {
        if (left == 0) return false;
        --left;
        line += static_cast<char>(c);
        if (c == '\n') return true;
    }
    return false;
}

std::string WithCrLf(std::string line)
{
    line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line + "\r\n";
}

}  // namespace

HeaderBlock ReadHeaderBlock(FILE* input, bool dotEnds, std::vector<std::string>& fields)
{
    std::size_t left = kMaxHeaderBlock;
    std::string line;
    while (ReadLine(input, line, left)) {
        if (IsLineEnd(line)) return HeaderBlock::READ;
        if (dotEnds && IsDotLine(line)) return HeaderBlock::NO_BLANK_LINE;
        const bool folded = (line[0] == ' ' || line[0] == '\t') && !fields.empty();
        if (folded)
            fields.back() += WithCrLf(line);
        else
            fields.push_back(WithCrLf(line));
    }
    if (std::ferror(input)) return HeaderBlock::UNREADABLE;
    return left == 0 ? HeaderBlock::TOO_LARGE : HeaderBlock::NO_BLANK_LINE;
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

bool WireWriter::Take(char c, bool dotEnds)
{
    NoteEightBit(&c, 1);
    switch (m_State) {
    case State::ENDED: return false;
    case State::LINE_START:
        if (c == '.') {
            m_State = State::DOT;
            return true;
        }
        break;
    case State::DOT:
        if (c == '\r') {
            m_State = State::DOT_CR;
            return true;
        }
        if (c == '\n' && dotEnds) {
            m_State = State::ENDED;
            return false;
        }
        Put("..", 2);
        m_State = State::MIDDLE;
        break;
    case State::DOT_CR:
        if (c == '\n' && dotEnds) {
            m_State = State::ENDED;
            return false;
        }
        Put("..", 2);
        if (c == '\n') {
            EndLine();
            return true;
        }
        Put("\r", 1);
        m_State = State::MIDDLE;
        break;
    case State::CR:
        if (c == '\n') {
            EndLine();
            return true;
        }
        Put("\r", 1);
        m_State = State::MIDDLE;
        break;
    case State::MIDDLE: break;
    }
    if (c == '\n') {
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
    char block[65536];
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
    if (dotEnds && m_State == State::DOT) m_State = State::ENDED;
    return !std::ferror(input);
}

bool WireWriter::Finish()
{
    // A last line without its line end keeps what it began with.
    if (m_State == State::DOT) Put("..", 2);
    if (m_State == State::DOT_CR) Put("..\r", 3);
    if (m_State == State::CR) Put("\r", 1);
    m_State = State::ENDED;
    Flush();
    return std::fflush(m_Out) == 0 && !std::ferror(m_Out);
}
