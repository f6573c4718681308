#include "transport/SpooledMessage.h"

#include "core/CSMTPException.h"
#include "mail/Globals.h"
#include "platform/Files.h"

namespace transport {
namespace {

constexpr int kCreateAttempts = 3;

}  // namespace

SpooledMessage::SpooledMessage()
{
    // A name taken by someone else between naming and creating gets a new one.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        MakeTempFileName(m_Name);
        m_File = platform::CreateExclusiveFile(m_Name);
        if (m_File) return;
    }
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to open tmp file '%s'. Aborting.\n", m_Name);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to open tmp file \"" << m_Name << "\". Aborting.";
    throw error;
}

SpooledMessage::~SpooledMessage()
{
    std::fclose(m_File);
    platform::RemoveFile(m_Name);
}

void SpooledMessage::Rewind()
{
    // A message cut short by a full disk must never be sent as if whole.
    if (std::fflush(m_File) != 0 || std::ferror(m_File)) FailWrite();
    std::rewind(m_File);
}

void SpooledMessage::FailWrite() const
{
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to write tmp file '%s'. Aborting.\n", m_Name);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to write tmp file \"" << m_Name << "\". Aborting.";
    throw error;
}

}  // namespace transport
