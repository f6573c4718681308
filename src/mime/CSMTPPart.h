#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mime/TempFileName.h"

class CSMTPEmail;

// The kind of content given to CSMTPEmail::AddPart.
enum PartKind {
    PART_TEXT = 0,        // text, written unchanged
    PART_TEXT_QP = 1,     // text, quoted-printable
    PART_TEXT_OEM = 2,    // text, quoted-printable, converted from OEM when asked
    PART_TEXT_AUTO = 3,   // as PART_TEXT_OEM when the text holds a byte above 0x7F
    PART_TEXT_FILE = 4,   // path of a text file read now, then as PART_TEXT_AUTO
    PART_BINARY_FILE = 5  // path of any file read when the message is written, base64
};

enum TransferEncoding { ENC_NONE = 0, ENC_QUOTED_PRINTABLE = 1, ENC_BASE64 = 2 };

// One body part: text held in memory, or a file read when the message is written.
class CSMTPPart {
public:
    // Reserves a temporary file name; CSMTPEmail::AddPart links the part.
    explicit CSMTPPart(CSMTPEmail* owner);
    CSMTPPart(const CSMTPPart&) = delete;
    CSMTPPart& operator=(const CSMTPPart&) = delete;
    ~CSMTPPart();

    // Returns -1 for a text file that cannot be read, else 0. Throws
    // BAD_ARGUMENTS_FROM_FORM for an attachment while MIME is off.
    int SetContent(const char* textOrPath, unsigned int kind, int oemToAnsi);

    // The part's header lines; the caller writes the empty line after them.
    void WriteHeaders(FILE* file);
    // Throws FAILED_TO_OPEN_TEMPFILE when an attachment cannot be opened or read.
    // Returns false when a write to file failed (errno as that write left it).
    bool WriteBody(FILE* file);

    // The content type with each parameter folded onto a line of its own.
    void WriteContentType(FILE* file, const std::string& contentType);
    // A parameter value as a quoted string.
    static void WriteQuotedValue(const std::string& value, FILE* file);

    // Turns the part into a multipart of the subtype ("alternative",
    // "related") whose parts are m_Children.
    void MakeMultipart(const char* subtype);
    // Turns a file part into one shown inside the message under contentId.
    void MakeInline(const std::string& contentId);

    // A part whose content was never set (unknown kind, unreadable text file,
    // refused attachment) has nothing to write.
    bool HasBody() const { return m_Body.has_value(); }

    int m_IsText = 1;
    const char* m_ContentType = "text/plain";  // a file part's points into m_ContentTypeBuffer
    int m_Encoding = ENC_NONE;
    char m_TempFileName[kTempNameCapacity];
    std::string m_Charset;
    std::optional<std::string> m_Body;
    std::unique_ptr<CSMTPPart> m_Next;
    std::string m_ContentTypeBuffer;
    std::string m_Disposition;
    CSMTPEmail* m_Owner;
    // The content type is written as it stands: it holds its own folds.
    bool m_FoldedContentType = false;
    const char* m_Multipart = nullptr;  // the subtype of a multipart, else null
    std::vector<std::unique_ptr<CSMTPPart>> m_Children;
    std::string m_ContentId;

private:
    bool IsOutermost() const;
    std::string m_Boundary;
    bool WriteParts(FILE* file) const;
    void SetText(const char* text, int convert);
    int ReadTextFile(const char* path, int oemToAnsi);
    void SetBinaryFile(const char* path);
    void SetInternationalName(const std::string& name);
};

// The charset of text parts and of encoded header words: MM_CHARSET, else
// the locale's (Windows: the ANSI code page's).
std::string DefaultCharset();

// The content type of a file, found from its extension, with the file name
// as its name parameter: "type/subtype; name=\"file name\"".
std::string ContentTypeFromFileName(const char* path);

// Refuses a file to include that cannot be opened: FAILED_TO_OPEN_TEMPFILE.
[[noreturn]] void FailToOpenIncludeFile(const std::string& path);
