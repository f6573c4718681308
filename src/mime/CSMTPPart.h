#pragma once

#include <cstdio>
#include <memory>

class CSMTPEmail;

// One body part: text held in memory, or a file read when the message is written.
class CSMTPPart {
public:
    explicit CSMTPPart(CSMTPEmail* owner);
    ~CSMTPPart();

    std::unique_ptr<CSMTPPart> m_Next;
};
