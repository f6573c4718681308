#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Transfer encoders. Each keeps its state explicitly, so that a body can be
// fed in pieces of any size and gives the same bytes as when fed whole.

// Base64 in lines of 76 characters (57 input bytes) ending in CR LF; only the
// last group is padded. An empty input gives no output at all.
class Base64Encoder {
public:
    static constexpr std::size_t kLineInput = 57;
    static constexpr std::size_t kLineChars = 76;

    // Appends the encoding of the bytes to out.
    void Encode(const unsigned char* data, std::size_t length, std::string& out);
    // Appends the last, padded group and the final CR LF.
    void Finish(std::string& out);

private:
    void PutGroup(const unsigned char* group, std::string& out);

    unsigned char m_Pending[2] = {0, 0};
    int m_PendingCount = 0;
    std::size_t m_Column = 0;
};

// Quoted-printable for text. Line breaks leave as CR LF (a bare LF becomes
// CR LF; a CR not followed by LF is encoded); an output line holds at most
// 76 characters before its break; a blank or TAB before a line break is
// encoded so that transport cannot strip it; a "." that would open a line
// after a soft break is encoded so that the line cannot end the data.
class QuotedPrintableEncoder {
public:
    void Encode(const char* data, std::size_t length, std::string& out);
    // Flushes held bytes and closes an unfinished line with a soft break.
    void Finish(std::string& out);

private:
    // Each step writes at the cursor p, which has room for the worst case.
    char* Put(unsigned char c, char* p);
    char* PutLiteralRun(const unsigned char*& data, const unsigned char* pieceEnd,
                        const unsigned char* end, char* p);
    char* FlushWhite(bool beforeBreak, char* p);
    char* Literal(unsigned char c, char* p);
    char* Encoded(unsigned char c, char* p);
    char* LimitLine(char* p);
    char* HardBreak(char* p);

    int m_Column = 0;
    bool m_AfterSoftBreak = false;
    unsigned char m_PendingWhite = 0;  // blank or TAB whose successor decides its form
    bool m_PendingCR = false;          // CR waiting to see whether LF follows
};

std::string EncodeBase64(const void* data, std::size_t length);
// Base64 on one line, without a line break: the form of SASL exchanges.
std::string EncodeBase64Line(const void* data, std::size_t length);
// Strict decoding of base64 on one line: a multiple of four characters of the
// alphabet, "=" padding only at the end and zero bits under it. Anything else,
// blanks and line breaks included, gives false. An empty text is no bytes.
bool DecodeBase64(const std::string& text, std::string* bytes);
// Base64url (RFC 4648 section 5) on one line, without padding.
std::string EncodeBase64Url(const void* data, std::size_t length);
std::string EncodeQuotedPrintable(const char* data, std::size_t length);

enum EncodeStatus { ENCODE_OK = 0, ENCODE_READ_FAILED = 1, ENCODE_WRITE_FAILED = 2 };

// Reads input to its end and writes its base64 form, in constant memory, then
// flushes output. On a failed read or write it stops at once and says which;
// errno is left as the failed call set it.
EncodeStatus EncodeBase64Stream(FILE* input, FILE* output);

// Writes the quoted-printable form of the zero-terminated text.
// Returns false when a write failed (errno as the failed call set it).
bool EncodeQuotedPrintableText(const char* text, FILE* output);
