#include "core/CSMTPException.h"

CSMTPException::CSMTPException(SmtpError code)
    : std::exception(), m_Stream(std::ios::in | std::ios::out), m_Code(code)
{
}

CSMTPException::CSMTPException(const CSMTPException& source)
    : std::exception(),
      m_Stream(std::ios::in | std::ios::out),
      m_Code(source.m_Code),
      m_ReceiverRefused(source.m_ReceiverRefused),
      m_Temporary(source.m_Temporary),
      m_SessionBroken(source.m_SessionBroken),
      m_Text(source.m_TextReady ? source.m_Text : source.m_Stream.str()),
      m_TextReady(true)
{
}

CSMTPException::~CSMTPException() = default;

const char* CSMTPException::what() const noexcept
{
    if (!m_TextReady) {
        m_Text = m_Stream.str();
        m_TextReady = true;
    }
    return m_Text.c_str();
}

void MarkTemporary(CSMTPException& error)
{
    if (error.m_Temporary) return;
    error.m_Temporary = true;
    error << " The failure is temporary: a later try may succeed.";
}

bool IsTemporaryFailure(const CSMTPException& error)
{
    return error.m_Temporary;
}
