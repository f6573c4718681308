#include "mail/HeaderAddresses.h"

#include <cstring>

namespace {

enum class Kind { ATOM, QUOTED, LITERAL, SPECIAL };

struct Token {
    Kind kind;
    std::string text;  // a quoted string without its quotes and escapes
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSpecial(char c)
{
    return std::strchr("()<>[]:;@,.\"", c) != nullptr;
}

bool ReadQuoted(const std::string& text, std::size_t& at, std::string& out)
{
    for (++at; at < text.size(); ++at) {
        if (text[at] == '"') {
            ++at;
            return true;
        }
        if (text[at] == '\\' && at + 1 < text.size()) ++at;
        // A fold inside a quoted string is a blank.
        if (text[at] == '\r' || text[at] == '\n') continue;
        out += text[at];
    }
    return false;
}

bool Tokenize(const std::string& text, std::vector<Token>& tokens)
{
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (IsBlank(c)) {
            ++at;
        } else if (c == '(') {
            if (!SkipComment(text, at)) return false;
        } else if (c == '"') {
            Token token{Kind::QUOTED, ""};
            if (!ReadQuoted(text, at, token.text)) return false;
            tokens.push_back(token);
        } else if (c == '[') {
            const std::size_t end = text.find(']', at);
            if (end == std::string::npos) return false;
            Token token{Kind::LITERAL, ""};
            for (; at <= end; ++at)
                if (text[at] != '\r' && text[at] != '\n') token.text += text[at];
            tokens.push_back(token);
        } else if (IsSpecial(c)) {
            tokens.push_back({Kind::SPECIAL, std::string(1, c)});
            ++at;
        } else {
            const std::size_t start = at;
            while (at < text.size() && !IsBlank(text[at]) && !IsSpecial(text[at])) ++at;
            tokens.push_back({Kind::ATOM, text.substr(start, at - start)});
        }
    }
    return true;
}

bool IsAtomText(const std::string& text)
{
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (IsBlank(c) || (IsSpecial(c) && c != '.') || c == '\\') return false;
        if (c == '.' && text[i + 1] == '.') return false;
    }
    return true;
}

std::string Requoted(const std::string& local)
{
    if (IsAtomText(local)) return local;
    std::string out = "\"";
    for (const char c : local) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

class Parser {
public:
    Parser(const std::vector<Token>& tokens, std::vector<std::string>& out)
        : m_Tokens(tokens), m_Out(out)
    {
    }

    bool List()
    {
        while (m_At < m_Tokens.size()) {
            if (Is(",")) {
                ++m_At;
                continue;
            }
            if (!Address(false)) return false;
        }
        return true;
    }

private:
    bool Is(const char* special) const
    {
        return m_At < m_Tokens.size() && m_Tokens[m_At].kind == Kind::SPECIAL &&
               m_Tokens[m_At].text == special;
    }

    bool AtStop(bool inGroup) const
    {
        return m_At >= m_Tokens.size() || Is(",") || (inGroup && Is(";"));
    }

    // A mailbox or, outside a group, a group: the words before ":" "<" or
    // "@" decide which.
    bool Address(bool inGroup)
    {
        const std::size_t start = m_At;
        while (m_At < m_Tokens.size() && m_Tokens[m_At].kind != Kind::SPECIAL) ++m_At;
        while (Is(".")) {  // a dotted local part or a phrase holding dots
            ++m_At;
            while (m_At < m_Tokens.size() && m_Tokens[m_At].kind != Kind::SPECIAL) ++m_At;
        }
        if (Is(":") && !inGroup) return Group();
        if (Is("<")) return AngleAddress();
        if (!IsLocalPart(start, m_At)) return false;
        const std::string local = Join(start, m_At);
        if (Is("@")) {
            ++m_At;
            return Domain(local, inGroup);
        }
        if (!AtStop(inGroup)) return false;
        if (!local.empty()) m_Out.push_back(Requoted(local));
        return true;
    }

    bool Group()
    {
        ++m_At;
        while (m_At < m_Tokens.size() && !Is(";")) {
            if (Is(",")) {
                ++m_At;
                continue;
            }
            if (!Address(true)) return false;
        }
        if (Is(";")) ++m_At;
        return true;
    }

    bool AngleAddress()
    {
        ++m_At;
        if (Is("@")) {  // an obsolete route: "<@relay,@other:user@host>"
            while (m_At < m_Tokens.size() && !Is(":")) ++m_At;
            ++m_At;
        }
        const std::size_t start = m_At;
        while (m_At < m_Tokens.size() && !Is("@") && !Is(">")) ++m_At;
        if (!IsLocalPart(start, m_At)) return false;
        const std::string local = Join(start, m_At);
        std::string address = Requoted(local);
        if (Is("@")) {
            ++m_At;
            const std::size_t domainStart = m_At;
            while (m_At < m_Tokens.size() && !Is(">")) ++m_At;
            address += "@" + Join(domainStart, m_At);
        }
        if (!Is(">")) return false;
        ++m_At;
        if (local.empty()) return true;  // "<>" names nobody
        m_Out.push_back(address);
        return true;
    }

    bool Domain(const std::string& local, bool inGroup)
    {
        const std::size_t start = m_At;
        while (!AtStop(inGroup)) ++m_At;
        const std::string domain = Join(start, m_At);
        if (domain.empty()) return false;
        m_Out.push_back(Requoted(local) + "@" + domain);
        return true;
    }

    // Two words side by side make a phrase, which is no local part.
    bool IsLocalPart(std::size_t from, std::size_t to) const
    {
        for (std::size_t i = from; i + 1 < to; ++i)
            if (m_Tokens[i].kind != Kind::SPECIAL && m_Tokens[i + 1].kind != Kind::SPECIAL)
                return false;
        return true;
    }

    std::string Join(std::size_t from, std::size_t to) const
    {
        std::string text;
        for (std::size_t i = from; i < to; ++i) text += m_Tokens[i].text;
        return text;
    }

    const std::vector<Token>& m_Tokens;
    std::vector<std::string>& m_Out;
    std::size_t m_At = 0;
};

}  // namespace

bool SkipComment(const std::string& text, std::size_t& at)
{
    int depth = 0;
    for (; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == '(') {
            ++depth;
        } else if (text[at] == ')' && --depth == 0) {
            ++at;
            return true;
        }
    }
    return false;
}

bool ParseAddressList(const std::string& value, std::vector<std::string>& addresses)
{
    std::vector<Token> tokens;
    if (!Tokenize(value, tokens)) return false;
    return Parser(tokens, addresses).List();
}
