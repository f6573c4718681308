#include "mime/CSMTPPart.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/Encoders.h"
#include "mime/HeaderWords.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/ContentTypes.h"
#include "platform/Environment.h"
#include "platform/FileStatus.h"

namespace {

const char* const kImageExtensions[] = {"gif",  "jpg", "tif", "tiff", "bmp",
                                        "jpeg", "pcd", "png", ""};

bool HasHighByte(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7F) return true;
    return false;
}

bool IsImageExtension(const std::string& extension)
{
    for (const char* const* image = kImageExtensions; **image; ++image) {
        if (extension.size() != std::strlen(*image)) continue;
        bool same = true;
        for (std::size_t i = 0; i < extension.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(extension[i])) == (*image)[i];
        if (same) return true;
    }
    return false;
}

// The contents of a quoted string: backslash before each double quote and
// backslash. Line breaks become blanks, so that a file name cannot start a
// header line of its own.
std::string QuotedContents(const char* text)
{
    std::string out;
    for (; *text; ++text) {
        if (*text == '"' || *text == '\\') out += '\\';
        out += (*text == '\r' || *text == '\n') ? ' ' : *text;
    }
    return out;
}

void BlankLineBreaks(std::string& text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
}

// Splits a content type at the ";" that separate its parameters; a ";" inside
// a quoted value belongs to the value.
std::vector<std::string> SplitParameters(const std::string& contentType)
{
    std::vector<std::string> pieces(1);
    bool quoted = false;
    for (std::size_t i = 0; i < contentType.size(); ++i) {
        const char c = contentType[i];
        if (c == ';' && !quoted) {
            pieces.emplace_back();
            continue;
        }
        pieces.back() += c;
        if (quoted && c == '\\' && i + 1 < contentType.size()) {
            pieces.back() += contentType[++i];
        } else if (c == '"') {
            quoted = !quoted;
        }
    }
    return pieces;
}

std::string SkipLeadingSpace(const std::string& text)
{
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    return text.substr(start);
}

std::string TrimTrailingSpace(std::string text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

// RFC 2045 token characters: an extension made of anything else would break
// the Content-Type header it is written into.
bool IsToken(const char* text)
{
    if (!*text) return false;
    for (; *text; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (c <= 0x20 || c >= 0x7F || std::strchr("()<>@,;:\\\"/[]?=", c)) return false;
    }
    return true;
}

// Text sent as it is must not hold a bare CR: servers that end a line there
// would take "\r.\r\n" for the end of the data. A bare CR becomes CR LF, and
// a "." that then opens a line is doubled, as the front end doubles the others.
bool WriteUnencodedText(const std::string& text, FILE* file)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] != '\r' || (i + 1 < text.size() && text[i + 1] == '\n')) continue;
        out += '\n';
        if (i + 1 < text.size() && text[i + 1] == '.') out += '.';
    }
    return std::fwrite(out.data(), 1, out.size(), file) == out.size();
}

// The type found from the extension of the file name, without parameters.
std::string TypeOfFileName(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    const std::string extension = dot && IsToken(dot + 1) ? dot + 1 : "";
    std::string type;
    if (!extension.empty()) type = platform::ContentTypeForExtension(extension);
    if (type.empty()) {
        const char* major = !extension.empty() && IsImageExtension(extension) ? "image" : "unknown";
        type = std::string(major) + "/" + (extension.empty() ? "unknown" : extension);
    }
    return type;
}

// The label that 7-bit text has always had; it differs from the default only
// on Windows, where 8-bit text is labelled with the ANSI code page's name.
std::string SevenBitTextCharset()
{
    const char* charset = std::getenv("MM_CHARSET");
    if (charset && *charset) return NeutraliseLineBreaks(charset);
    return platform::LocaleCharsetIsUtf8() ? "utf-8" : "iso-8859-1";
}

// Today's boundary for the outermost multipart; a nested one carries a letter
// before the numbers, so that no boundary starts with another.
std::string MakeBoundary(const char* nesting)
{
    const std::uint32_t tick = platform::TickCount();
    const std::time_t now = platform::CurrentTime();
    char text[80];
    std::snprintf(text, sizeof text, "PART.BOUNDARY.KV.%s%d.%d.%d", nesting,
                  static_cast<int>(platform::ProcessId()),
                  static_cast<int>(static_cast<std::int32_t>(now)),
                  static_cast<int>(static_cast<std::int32_t>(tick)));
    return text;
}

}  // namespace

std::string DefaultCharset()
{
    const char* charset = std::getenv("MM_CHARSET");
    if (charset && *charset) return NeutraliseLineBreaks(charset);
    return platform::LocaleCharsetName();
}

std::string ContentTypeFromFileName(const char* path)
{
    const char* name = platform::FileNamePart(path);
    std::string type = TypeOfFileName(name) + "; name=\"" + QuotedContents(name) + "\"";
    BlankLineBreaks(type);
    return type;
}

CSMTPPart::CSMTPPart(CSMTPEmail* owner) : m_Charset(SevenBitTextCharset()), m_Owner(owner)
{
    MakeTempFileName(m_TempFileName);
}

// Unlinks the rest of the chain one part at a time, so that a long chain
// does not recurse.
CSMTPPart::~CSMTPPart()
{
    std::unique_ptr<CSMTPPart> next = std::move(m_Next);
    while (next) next = std::move(next->m_Next);
}

int CSMTPEmail::AddPart(const char* textOrPath, int kind)
{
    auto part = std::make_unique<CSMTPPart>(this);
    CSMTPPart* added = part.get();
    if (!m_Parts) {
        m_Parts = std::move(part);
    } else {
        CSMTPPart* last = m_Parts.get();
        while (last->m_Next) last = last->m_Next.get();
        last->m_Next = std::move(part);
    }
    return added->SetContent(textOrPath, static_cast<unsigned int>(kind), m_OemToAnsi);
}

int CSMTPPart::SetContent(const char* textOrPath, unsigned int kind, int oemToAnsi)
{
    if (!m_Owner->m_Mime) {
        if (kind == PART_BINARY_FILE) {
            const char* text = "You must enable MIME encoding in order to send attachments";
            if (g_Verbose || g_Debug) std::fprintf(stderr, "%s.\n", text);
            CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
            error << text;
            throw error;
        }
        m_Encoding = ENC_NONE;
        kind = PART_TEXT;
    }
    switch (kind) {
    case PART_TEXT: m_Body = textOrPath; break;
    case PART_TEXT_QP:
        m_Encoding = ENC_QUOTED_PRINTABLE;
        m_Body = textOrPath;
        break;
    case PART_TEXT_OEM:
        m_Encoding = ENC_QUOTED_PRINTABLE;
        SetText(textOrPath, oemToAnsi);
        break;
    case PART_TEXT_AUTO:
        m_Encoding = ENC_QUOTED_PRINTABLE;
        SetText(textOrPath, oemToAnsi);
        break;
    case PART_TEXT_FILE:
        if (ReadTextFile(textOrPath, oemToAnsi) != 0) return -1;
        break;
    case PART_BINARY_FILE: SetBinaryFile(textOrPath); break;
    default: break;
    }
    if (m_IsText && m_Body && HasHighByte(*m_Body)) m_Charset = DefaultCharset();
    return 0;
}

// Only text that holds a byte above 0x7F is converted: plain ASCII is the
// same in both code pages.
void CSMTPPart::SetText(const char* text, int convert)
{
    std::string body(text);
    if (convert && HasHighByte(body)) platform::OemToAnsi(&body[0], body.size());
    m_Body = std::move(body);
}

int CSMTPPart::ReadTextFile(const char* path, int oemToAnsi)
{
    std::uint64_t size = 0;
    if (!platform::FileSize(path, size)) return -1;
    FILE* file = std::fopen(path, "rb");
    if (!file) return -1;
    std::string body(static_cast<std::size_t>(size), '\0');
    const std::size_t got = std::fread(&body[0], 1, body.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return -1;
    body.resize(got);
    // The text ends at its first zero byte, as a C string would.
    body.resize(std::strlen(body.c_str()));
    m_Encoding = ENC_QUOTED_PRINTABLE;
    SetText(body.c_str(), oemToAnsi);
    return 0;
}

void CSMTPPart::SetBinaryFile(const char* path)
{
    m_IsText = 0;
    m_Encoding = ENC_BASE64;
    const std::string name = platform::FileNamePart(path);
    if (HasHighByte(name)) {
        SetInternationalName(name);
    } else {
        m_ContentTypeBuffer = ContentTypeFromFileName(path);
        m_Disposition = "attachment; filename=\"" + QuotedContents(name.c_str()) + "\"";
    }
    m_ContentType = m_ContentTypeBuffer.c_str();
    m_Body = path;
}

// Mainstream readers take the RFC 2231 filename; older ones the encoded
// words of the name parameter. Both are written folded, as they stand.
void CSMTPPart::SetInternationalName(const std::string& name)
{
    const char kNameStart[] = "\tname=\"";
    const std::string charset = DefaultCharset();
    std::string type = TypeOfFileName(name.c_str());
    BlankLineBreaks(type);
    m_ContentTypeBuffer =
        type + ";\r\n" + kNameStart +
        EncodeWords(name, charset, sizeof kNameStart - 1, kMaxHeaderLine - 1, WORDS_B_ONLY) + "\"";
    m_Disposition = "attachment;\r\n\t" + EncodeExtendedParameter("filename", name, charset);
    m_FoldedContentType = true;
}

void CSMTPPart::MakeMultipart(const char* subtype)
{
    m_IsText = 0;
    m_Multipart = subtype;
    m_Body = std::string();
}

void CSMTPPart::MakeInline(const std::string& contentId)
{
    const std::string kAttachment = "attachment";
    if (m_Disposition.compare(0, kAttachment.size(), kAttachment) == 0)
        m_Disposition.replace(0, kAttachment.size(), "inline");
    m_ContentId = contentId;
}

// Only a message whose body is this multipart alone has it at its top.
bool CSMTPPart::IsOutermost() const
{
    for (const CSMTPPart* part = m_Owner->m_Parts.get(); part; part = part->m_Next.get())
        if (part != this && part->HasBody()) return false;
    return true;
}

void CSMTPPart::WriteHeaders(FILE* file)
{
    if (m_Multipart) {
        const bool related = std::strcmp(m_Multipart, "related") == 0;
        m_Boundary = MakeBoundary(IsOutermost() ? "" : related ? "R." : "A.");
        std::fprintf(file, "Content-type: multipart/%s;\r\n\tboundary=%s\r\n", m_Multipart,
                     m_Boundary.c_str());
        std::fputs("Content-Transfer-Encoding: 7bit\r\n", file);
        return;
    }
    if (m_IsText) {
        std::fprintf(file, "Content-type: %s; charset=%s\r\n", m_ContentType, m_Charset.c_str());
    } else {
        std::fputs("Content-type: ", file);
        if (m_FoldedContentType)
            std::fprintf(file, "%s\r\n", m_ContentType);
        else
            WriteContentType(file, m_ContentType);
        if (!m_Disposition.empty())
            std::fprintf(file, "Content-Disposition: %s\r\n", m_Disposition.c_str());
        if (!m_ContentId.empty()) std::fprintf(file, "Content-ID: <%s>\r\n", m_ContentId.c_str());
    }
    if (m_Encoding == ENC_BASE64)
        std::fputs("Content-Transfer-Encoding: base64\r\n", file);
    else if (m_Encoding == ENC_QUOTED_PRINTABLE)
        std::fputs("Content-Transfer-Encoding: quoted-printable\r\n", file);
}

void CSMTPPart::WriteContentType(FILE* file, const std::string& contentType)
{
    const std::vector<std::string> pieces = SplitParameters(contentType);
    std::fputs(pieces[0].c_str(), file);
    if (pieces[0].find('/') == std::string::npos) std::fputs("/unknown", file);
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        std::fputs(";\r\n\t", file);
        const std::size_t equals = pieces[i].find('=');
        std::fputs(SkipLeadingSpace(pieces[i].substr(0, equals)).c_str(), file);
        if (equals == std::string::npos) continue;
        std::fputs("=", file);
        const std::string value = SkipLeadingSpace(pieces[i].substr(equals + 1));
        WriteQuotedValue(value[0] == '"' ? value : TrimTrailingSpace(value), file);
    }
    std::fputs("\r\n", file);
}

void CSMTPPart::WriteQuotedValue(const std::string& value, FILE* file)
{
    std::string out = "\"";
    if (!value.empty() && value[0] == '"') {
        for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
            out += value[i];
            if (value[i] == '\\') {
                // A lone backslash at the end would escape the closing quote.
                out += i + 1 < value.size() ? value[++i] : '\\';
            }
        }
    } else {
        for (char c : value) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
    }
    out += '"';
    std::fputs(out.c_str(), file);
}

bool CSMTPPart::WriteParts(FILE* file) const
{
    for (const std::unique_ptr<CSMTPPart>& part : m_Children) {
        std::fprintf(file, "\r\n--%s\r\n", m_Boundary.c_str());
        part->WriteHeaders(file);
        std::fputs("\r\n", file);
        if (!part->WriteBody(file)) return false;
    }
    std::fprintf(file, "\r\n--%s--\r\n", m_Boundary.c_str());
    return std::ferror(file) == 0;
}

void FailToOpenIncludeFile(const std::string& path)
{
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to open include file '%s'. Aborting.\n", path.c_str());
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to open include file \"" << path << "\". Aborting.";
    throw error;
}

bool CSMTPPart::WriteBody(FILE* file)
{
    if (m_Multipart) return WriteParts(file);
    if (m_IsText) {
        if (m_Encoding == ENC_QUOTED_PRINTABLE)
            return EncodeQuotedPrintableText(m_Body->c_str(), file);
        return WriteUnencodedText(*m_Body, file);
    }
    FILE* input = std::fopen(m_Body->c_str(), "rb");
    if (!input) FailToOpenIncludeFile(*m_Body);
    const EncodeStatus status = EncodeBase64Stream(input, file);
    const int failure = errno;
    std::fclose(input);
    if (status == ENCODE_READ_FAILED) {
        const char* reason = std::strerror(failure);
        if (g_Verbose || g_Debug)
            std::fprintf(stderr, "Unable to read include file '%s': %s. Aborting.\n",
                         m_Body->c_str(), reason);
        CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
        error << "Unable to read include file \"" << *m_Body << "\": " << reason << ". Aborting.";
        throw error;
    }
    errno = failure;
    return status == ENCODE_OK;
}
