#include "mail/CSMTPHeader.h"

#include <cstring>

namespace {

bool SameName(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

// The counter restarts at every line feed and counts every character, the
// line feed included: one more than the characters after the last LF.
std::size_t AdvanceLine(std::size_t counter, const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') counter = 0;
        ++counter;
    }
    return counter;
}

}  // namespace

CSMTPHeader::~CSMTPHeader()
{
    // Unlink iteratively so that a long chain cannot exhaust the stack.
    std::unique_ptr<CSMTPHeader> next = std::move(m_Next);
    while (next) next = std::move(next->m_Next);
}

CSMTPHeader* CSMTPHeader::Find(const char* name, CSMTPHeader* first)
{
    for (CSMTPHeader* node = first; node; node = node->m_Next.get())
        if (SameName(name, node->m_Name)) return node;
    return nullptr;
}

CSMTPHeader* CSMTPHeader::Set(const char* name, const char* value,
                              std::unique_ptr<CSMTPHeader>& chain, int append)
{
    if (CSMTPHeader* node = Find(name, chain.get())) {
        if (append)
            node->AppendValue(value);
        else
            node->SetValue(value);
        return node;
    }
    std::unique_ptr<CSMTPHeader>* slot = &chain;
    while (*slot) slot = &(*slot)->m_Next;
    *slot = std::make_unique<CSMTPHeader>();
    (*slot)->m_Name = name;
    (*slot)->SetValue(value);
    return slot->get();
}

void CSMTPHeader::SetValue(const char* value)
{
    std::string copy(value ? value : "");  // value may be our own m_Value
    m_Value.swap(copy);
    m_LineLength = AdvanceLine(0, m_Value.data(), m_Value.size());
}

void CSMTPHeader::AppendValue(const char* text)
{
    const char* separator = m_LineLength > 75 ? ",\r\n\t" : ",";
    const std::size_t separatorLength = std::strlen(separator);
    const std::size_t textLength = std::strlen(text);
    m_Value.append(separator, separatorLength);
    m_Value.append(text, textLength);
    m_LineLength = AdvanceLine(m_LineLength, separator, separatorLength);
    m_LineLength = AdvanceLine(m_LineLength, text, textLength);
}

void CSMTPHeader::Write(FILE* file) const
{
    for (const CSMTPHeader* node = this; node; node = node->m_Next.get())
        std::fprintf(file, "%s: %s\r\n", node->m_Name, node->m_Value.c_str());
    std::fflush(file);
}
