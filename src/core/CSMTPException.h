#pragma once

#include <exception>
#include <sstream>
#include <string>

#include "core/SmtpError.h"

// The mail library's only exception. The thrower composes the message with
// stream insertion; the first what() freezes it, and a copy carries the
// frozen text (the thrown object is a copy of the composed one).
class CSMTPException : public std::exception {
public:
    explicit CSMTPException(SmtpError code);
    CSMTPException(const CSMTPException& source);
    CSMTPException& operator=(const CSMTPException&) = delete;
    ~CSMTPException() override;

    const char* what() const noexcept override;

    template <class T>
    CSMTPException& operator<<(const T& piece)
    {
        m_Stream << piece;
        return *this;
    }

    std::stringstream m_Stream;
    SmtpError m_Code;
    // A server refused a receiver (as opposed to the sender, the data or the session).
    bool m_ReceiverRefused = false;
    mutable std::string m_Text;
    mutable bool m_TextReady = false;
};
