#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "platform/Clock.h"
#include "platform/FileStatus.h"

namespace {

const char kLibraryNotice[] = "Korvell 1.07 for Win32, Copyright (c) the Quillex authors";

const char kPreamble[] =
    "> THIS IS A MESSAGE IN 'MIME' FORMAT.  Your mail reader does not support MIME.\r\n"
    "> Some parts of this will be readable as plain text.\r\n"
    "> To see the rest, you will need to upgrade your mail reader.\r\n";

// Process id, second and tick count, each printed as a signed 32-bit number.
std::string MakeBoundary()
{
    const std::uint32_t tick = platform::TickCount();
    const std::time_t now = platform::CurrentTime();
    const int pid = platform::ProcessId();
    char text[64];
    std::snprintf(text, sizeof text, "PART.BOUNDARY.KV.%d.%d.%d", static_cast<int>(pid),
                  static_cast<int>(static_cast<std::int32_t>(now)),
                  static_cast<int>(static_cast<std::int32_t>(tick)));
    return text;
}

// A text part whose reserved temporary file exists and is empty is left out
// of a multipart message.
bool IsEmptyTextPart(const CSMTPPart& part)
{
    std::uint64_t size = 0;
    return part.m_IsText && platform::FileSize(part.m_TempFileName, size) && size == 0;
}

int CountWritableParts(const CSMTPPart* part)
{
    int count = 0;
    for (; part; part = part->m_Next.get())
        if (part->HasBody()) ++count;
    return count;
}

CSMTPPart* FirstWritablePart(CSMTPPart* part)
{
    while (part && !part->HasBody()) part = part->m_Next.get();
    return part;
}

[[noreturn]] void FailWrite(const char* fileName)
{
    const char* reason = std::strerror(errno ? errno : EIO);
    const std::string name = fileName ? fileName : "";
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to write message file '%s': %s. Aborting.\n", name.c_str(),
                     reason);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to write message file \"" << name << "\": " << reason << ". Aborting.";
    throw error;
}

void CheckWritten(FILE* file, const char* fileName)
{
    errno = 0;
    if (std::fflush(file) != 0 || std::ferror(file)) FailWrite(fileName);
}

void CompleteHeaders(CSMTPEmail& mail)
{
    if (mail.m_Mime) mail.SetHeader("MIME-Version", "1.0", 0);
    mail.SetHeader("X-MailLibrary", kLibraryNotice, 0);
    const char* from = mail.GetHeader("From", nullptr);
    if (!from || !*from) {
        const std::string sender = mail.GetHeader("X-Sender", "(NULL)");
        mail.SetFrom(sender.c_str());
    }
    if (g_Organization[0])
        mail.SetHeader("Organization", NeutraliseLineBreaks(g_Organization).c_str(), 0);
    mail._EncodeHeaders();
}

// The header chain flushes the file after the block, so a failed write
// shows here while errno still tells why.
void WriteHeaderBlock(const CSMTPEmail& mail, FILE* file, const char* fileName)
{
    if (mail.m_Headers) mail.m_Headers->Write(file);
    if (std::ferror(file)) FailWrite(fileName);
}

void WriteMultipart(CSMTPEmail& mail, FILE* file, const char* fileName)
{
    const std::string boundary = MakeBoundary();
    const std::string contentType = "multipart/mixed;\r\n\tboundary=" + boundary + "\r\n\r\n";
    mail.SetHeader("Content-type", contentType.c_str(), 0);
    WriteHeaderBlock(mail, file, fileName);
    std::fputs(kPreamble, file);
    for (CSMTPPart* part = mail.m_Parts.get(); part; part = part->m_Next.get()) {
        if (!part->HasBody() || IsEmptyTextPart(*part)) continue;
        std::fprintf(file, "\r\n--%s\r\n", boundary.c_str());
        part->WriteHeaders(file);
        std::fputs("\r\n", file);
        if (!part->WriteBody(file)) FailWrite(fileName);
    }
    std::fprintf(file, "\r\n--%s--\r\n", boundary.c_str());
}

// A finished message is copied as it is; its headers were settled when it was read.
void CopyRawMessage(FILE* raw, FILE* file, const char* fileName)
{
    std::rewind(raw);
    char block[16384];
    std::size_t count;
    while ((count = std::fread(block, 1, sizeof block, raw)) > 0)
        if (std::fwrite(block, 1, count, file) != count) FailWrite(fileName);
    if (std::ferror(raw)) {
        errno = EIO;
        FailWrite(fileName);
    }
}

}  // namespace

void CSMTPEmail::WriteMessageFile(FILE* file, const char* fileName)
{
    if (m_RawMessage) {
        CopyRawMessage(m_RawMessage, file, fileName);
        CheckWritten(file, fileName);
        return;
    }
    CompleteHeaders(*this);
    const int parts = CountWritableParts(m_Parts.get());
    if (parts == 0) {
        // Without a body the header block alone still makes a message.
        WriteHeaderBlock(*this, file, fileName);
    } else if (!m_Mime) {
        WriteHeaderBlock(*this, file, fileName);
        std::fputs("\r\n", file);
        if (!FirstWritablePart(m_Parts.get())->WriteBody(file)) FailWrite(fileName);
    } else if (parts == 1) {
        CSMTPPart* part = FirstWritablePart(m_Parts.get());
        WriteHeaderBlock(*this, file, fileName);
        part->WriteHeaders(file);
        std::fputs("\r\n", file);
        if (!part->WriteBody(file)) FailWrite(fileName);
    } else {
        WriteMultipart(*this, file, fileName);
    }
    CheckWritten(file, fileName);
}
