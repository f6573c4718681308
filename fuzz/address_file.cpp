// Address-file reader: two files of any content, one naming the other (or
// itself) in any way. The reader ends, refuses cleanly or adds receivers made
// only of the allowed characters; no header line can be smuggled in.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSupport.h"
#include "mail/CSMTPEmail.h"

namespace {

void WriteFile(const char* name, const std::string& content)
{
    FILE* f = std::fopen(name, "wb");
    if (!f) std::abort();
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

bool IsReceiverByte(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) return true;
    return std::string(".-_@<> '\"+,").find(c) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzcheck::EnterWorkDirectory("addr");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int kind = provider.ConsumeIntegralInRange(0, 3);
    WriteFile("b", provider.ConsumeRandomLengthString(size));
    WriteFile("a", provider.ConsumeRemainingBytesAsString());

    CSMTPEmail mail;
    mail.m_NewsMode = kind == 3;
    try {
        if (kind == 1)
            mail.AddCc("@a");
        else if (kind == 2)
            mail.AddBcc("@a");
        else
            mail.AddTo("@a");
    } catch (const CSMTPException& refused) {
        if (refused.m_Code != BAD_ARGUMENTS_FROM_FORM) std::abort();
    }
    fuzzcheck::CheckMessage(mail);
    if (mail.m_Receivers)
        for (const char c : *mail.m_Receivers)
            if (!IsReceiverByte(c))
                fuzzcheck::Fail("receiver byte outside the allowed set", *mail.m_Receivers);
    return 0;
}
