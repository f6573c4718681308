#pragma once

#include <memory>
#include <string>

// One entry of a StringList; the node owns its copy of the text.
struct StringNode {
    std::string text;
    std::unique_ptr<StringNode> next;
};

// The front end's singly linked list of texts, in insertion order. A list
// without nodes is the empty list; nodes are never removed while a run lasts.
class StringList {
public:
    StringList() = default;
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;
    ~StringList() { Clear(); }

    const StringNode* First() const { return m_First.get(); }
    bool IsEmpty() const { return !m_First; }
    void Append(std::string text);
    // Releases the nodes one by one: a body of many lines must not exhaust
    // the stack through nested destructors.
    void Clear();

private:
    std::unique_ptr<StringNode> m_First;
    StringNode* m_Last = nullptr;
};

// Links a copy of text after the last node of list.
void AppendString(const std::string& text, StringList& list);
