#pragma once

// Shared by the fuzz targets (POSIX only): a private working directory, and
// the checks for targets that fill a message from untrusted text: whatever
// came in, no header value can start a header line of its own and no
// envelope address holds a byte that would end or split a command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"

namespace fuzzcheck {

// Makes a new directory under $TMPDIR (or /tmp) and works in it; returns its path.
inline std::string EnterWorkDirectory(const char* tag)
{
    const char* base = std::getenv("TMPDIR");
    std::string path =
        std::string(base && *base ? base : "/tmp") + "/quillex-fuzz-" + tag + "-XXXXXX";
    if (!mkdtemp(&path[0]) || chdir(path.c_str()) != 0) std::abort();
    return path;
}

[[noreturn]] inline void Fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "property broken: %s\ntext: ", what);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// Line breaks only as folds: CR LF followed by a blank or TAB.
inline void CheckHeaderValue(const std::string& value)
{
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\0') Fail("zero byte in a header value", value);
        if (c == '\n' && (i == 0 || value[i - 1] != '\r')) Fail("bare LF in a header value", value);
        if (c != '\r') continue;
        if (i + 2 >= value.size() || value[i + 1] != '\n' ||
            (value[i + 2] != ' ' && value[i + 2] != '\t'))
            Fail("line break in a header value that is not a fold", value);
    }
}

// Settings that reach a header or a command must not hold a line break; a
// server name only has to fit (an odd one fails to resolve).
inline void CheckSetting(const char* buffer, int capacity, bool sent)
{
    if (!std::memchr(buffer, '\0', static_cast<std::size_t>(capacity)))
        Fail("setting without its terminating zero", std::string(buffer, capacity));
    for (const char* p = buffer; *p && sent; ++p)
        if (*p == '\r' || *p == '\n') Fail("line break in a setting", buffer);
}

inline void CheckMessage(const CSMTPEmail& mail)
{
    for (const CSMTPHeader* h = mail.m_Headers.get(); h; h = h->m_Next.get())
        CheckHeaderValue(h->m_Value);
    if (mail.m_Receivers) {
        for (const char c : *mail.m_Receivers) {
            const unsigned char u = static_cast<unsigned char>(c);
            // TAB may stand in a display name; it ends no command.
            if ((u < 0x20 && u != '\t') || u == 0x7F)
                Fail("control byte in a receiver", *mail.m_Receivers);
        }
    }
    CheckSetting(g_MailServer, kServerCapacity, false);
    CheckSetting(g_NewsServer, kServerCapacity, false);
    CheckSetting(g_Organization, kServerCapacity, true);
    CheckSetting(g_NewsUser, kLoginCapacity, true);
    CheckSetting(g_NewsPassword, kLoginCapacity, true);
}

}  // namespace fuzzcheck
