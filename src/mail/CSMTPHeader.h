#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// One header of a message. The chain keeps the order in which each name was
// first set; names are borrowed string constants and match without regard
// to ASCII letter case.
class CSMTPHeader {
public:
    CSMTPHeader() = default;
    CSMTPHeader(const CSMTPHeader&) = delete;
    CSMTPHeader& operator=(const CSMTPHeader&) = delete;
    ~CSMTPHeader();

    static CSMTPHeader* Find(const char* name, CSMTPHeader* first);
    // Replaces (append == 0) or appends a list item to the value of the header
    // called name, creating it at the end of the chain when it is missing.
    static CSMTPHeader* Set(const char* name, const char* value,
                            std::unique_ptr<CSMTPHeader>& chain, int append);

    // Joins one more list item with "," and starts a continuation line once
    // the current line holds more than 75 characters. Linear: the length of
    // the current line is tracked, not measured again.
    void AppendValue(const char* text);
    // True when AppendValue starts the next item on a continuation line.
    bool FoldsNextItem() const { return m_LineLength > 75; }
    void SetValue(const char* value);

    // Writes this node and every node after it as "name: value\r\n", then flushes.
    void Write(FILE* file) const;

    const char* m_Name = nullptr;
    std::string m_Value;
    std::unique_ptr<CSMTPHeader> m_Next;

private:
    std::size_t m_LineLength = 0;
};
