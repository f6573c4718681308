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
    // A later try may succeed: see IsTemporaryFailure.
    bool m_Temporary = false;
    // An established TLS session broke on the way, as a lost connection does.
    bool m_SessionBroken = false;
    mutable std::string m_Text;
    mutable bool m_TextReady = false;
};

// Marks the failure as one that a later try may not meet, and says so at the
// end of its text: a sign-in endpoint that timed out, could not be reached
// or answered 5xx, a 4xx reply to AUTH, a device-flow poll that timed out.
void MarkTemporary(CSMTPException& error);

// The one test of whether a failed run may be tried again as it is (the
// sendmail name ends such a run with EX_TEMPFAIL instead of EX_NOPERM).
bool IsTemporaryFailure(const CSMTPException& error);
