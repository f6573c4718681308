#include "platform/Idn.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool SameName(const std::string& a, const char* b)
{
    return _stricmp(a.c_str(), b) == 0;
}

// The code page of a charset name: "utf-8", "iso-8859-N", "windows-N" and
// "cpN"; any other name is taken for the ANSI code page.
UINT CodePageOf(const std::string& charset)
{
    if (SameName(charset, "utf-8") || SameName(charset, "utf8")) return CP_UTF8;
    for (const char* prefix : {"windows-", "cp"}) {
        const std::size_t length = std::strlen(prefix);
        if (charset.size() > length && _strnicmp(charset.c_str(), prefix, length) == 0)
            return static_cast<UINT>(std::strtoul(charset.c_str() + length, nullptr, 10));
    }
    if (charset.size() > 9 && _strnicmp(charset.c_str(), "iso-8859-", 9) == 0)
        return 28590 + static_cast<UINT>(std::strtoul(charset.c_str() + 9, nullptr, 10));
    return CP_ACP;
}

bool ToWide(const std::string& text, const std::string& charset, std::wstring& wide)
{
    if (text.empty()) {
        wide.clear();
        return true;
    }
    const UINT codePage = CodePageOf(charset);
    const int length = static_cast<int>(text.size());
    const int needed =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    wide.assign(static_cast<std::size_t>(needed), L'\0');
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, &wide[0],
                               needed) == needed;
}

bool FromWide(const std::wstring& wide, UINT codePage, std::string& text)
{
    if (wide.empty()) {
        text.clear();
        return true;
    }
    const int length = static_cast<int>(wide.size());
    const int needed =
        WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    text.assign(static_cast<std::size_t>(needed), '\0');
    return WideCharToMultiByte(codePage, 0, wide.data(), length, &text[0], needed, nullptr,
                               nullptr) == needed;
}

}  // namespace

bool ToUtf8(const std::string& text, const std::string& charset, std::string& utf8)
{
    std::wstring wide;
    return ToWide(text, charset, wide) && FromWide(wide, CP_UTF8, utf8);
}

bool DomainToAscii(const std::string& domain, const std::string& charset, std::string& ascii,
                   std::string& reason)
{
    std::wstring wide;
    if (!ToWide(domain, charset, wide)) {
        reason = "it is not valid " + charset;
        return false;
    }
    const int length = static_cast<int>(wide.size());
    const int needed = IdnToAscii(0, wide.data(), length, nullptr, 0);
    std::wstring out(needed > 0 ? static_cast<std::size_t>(needed) : 0, L'\0');
    if (needed <= 0 || IdnToAscii(0, wide.data(), length, &out[0], needed) != needed ||
        !FromWide(out, CP_ACP, ascii)) {
        reason = "IdnToAscii failed with error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

}  // namespace platform
