#include "frontend/StringList.h"

#include <utility>

void StringList::Append(std::string text)
{
    auto node = std::make_unique<StringNode>();
    node->text = std::move(text);
    StringNode* added = node.get();
    if (m_Last)
        m_Last->next = std::move(node);
    else
        m_First = std::move(node);
    m_Last = added;
}

void StringList::Clear()
{
    std::unique_ptr<StringNode> node = std::move(m_First);
    while (node) node = std::move(node->next);
    m_Last = nullptr;
}

void AppendString(const std::string& text, StringList& list)
{
    list.Append(text);
}
