// Test helper: runs the encoders and the message writer on files so that an
// independent decoder can check the bytes.
//   mime_tool base64 < input > output       the attachment encoder
//   mime_tool qp < input > output           the text encoder, zero bytes included
//   mime_tool message TEXT [ATTACHMENT...]  a message file of a quoted-printable
//                                           text part (read from the file TEXT)
//                                           and attachments, on standard output
#include <cstdio>
#include <cstring>
#include <string>

#include "mail/CSMTPEmail.h"
#include "mime/CSMTPPart.h"
#include "mime/Encoders.h"

namespace {

std::string ReadAll(FILE* file)
{
    std::string data;
    char block[65536];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) data.append(block, got);
    return data;
}

int Message(int argc, char** argv)
{
    FILE* textFile = std::fopen(argv[2], "rb");
    if (!textFile) return 2;
    const std::string text = ReadAll(textFile);
    std::fclose(textFile);
    CSMTPEmail mail;
    mail.SetFrom("sender@example.com");
    mail.AddTo("receiver@example.com");
    mail.SetSubject("round trip");
    mail.AddPart(text.c_str(), PART_TEXT_QP);
    for (int i = 3; i < argc; ++i) mail.AddPart(argv[i], PART_BINARY_FILE);
    mail.WriteMessageFile(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "base64") == 0)
        return EncodeBase64Stream(stdin, stdout) == ENCODE_OK ? 0 : 1;
    if (argc >= 2 && std::strcmp(argv[1], "qp") == 0) {
        const std::string data = ReadAll(stdin);
        const std::string out = EncodeQuotedPrintable(data.data(), data.size());
        return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "message") == 0) {
        try {
            return Message(argc, argv);
        } catch (const CSMTPException& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "usage: mime_tool base64|qp|message TEXT [ATTACHMENT...]\n");
    return 2;
}
