#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace transport {

// What a server says it can do: one entry per line of an EHLO reply (after
// the greeting line) or of an NNTP capability list (up to the "." line), its
// keyword in upper case and the words after it.
class Capabilities {
public:
    // Both take the reply text as it was received; malformed lines are kept
    // as they come, since a keyword match is all that is asked of them.
    static Capabilities FromEhlo(const char* text, std::size_t length);
    static Capabilities FromList(const char* text, std::size_t length);

    bool Has(const char* keyword) const;
    // The words after the keyword ("AUTH PLAIN LOGIN" gives PLAIN, LOGIN).
    std::vector<std::string> Parameters(const char* keyword) const;

private:
    struct Entry {
        std::string keyword;
        std::vector<std::string> parameters;
    };
    const Entry* Find(const char* keyword) const;
    void Add(const std::string& line);

    std::vector<Entry> m_Entries;
};

}  // namespace transport
