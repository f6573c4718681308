#include "platform/ContentTypes.h"

#include <windows.h>

#include <cstring>
#include <memory>

namespace platform {

namespace {

// The registry key text holds 64 bytes: a dot, the extension and
// "\Content Type" with its terminator leave room for 49 characters.
constexpr std::size_t kKeyTextSize = 64;
// Values of 63 characters and a terminator at most.
constexpr DWORD kValueSize = 64;
constexpr std::size_t kMaxJoinedLength = 259;

std::unique_ptr<std::string> s_TablePath;  // null: the registry

HKEY RootKey(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot: break;
    }
    return HKEY_CLASSES_ROOT;
}

}  // namespace

void SetContentTypeTable(const char* path)
{
    s_TablePath = path ? std::make_unique<std::string>(path) : nullptr;
}

std::string ContentTypeForExtension(const std::string& extension)
{
    if (s_TablePath) {  // a table given by the tests stands in for the registry
        if (s_TablePath->empty()) return "";
        FILE* table = std::fopen(s_TablePath->c_str(), "r");
        if (!table) return "";
        std::string type = ContentTypeFromTable(table, extension);
        std::fclose(table);
        return type;
    }
    const std::string keyText = "." + extension + "\\Content Type";
    if (extension.empty() || keyText.size() >= kKeyTextSize) return "";
    return GetRegistryString(RegistryRoot::ClassesRoot, keyText);
}

std::string GetRegistryString(RegistryRoot root, const std::string& keyAndValue)
{
    if (keyAndValue.size() > kMaxJoinedLength) return "";
    const std::size_t split = keyAndValue.rfind('\\');
    const std::string keyPath = split == std::string::npos ? "" : keyAndValue.substr(0, split);
    const std::string valueName = keyAndValue.substr(split == std::string::npos ? 0 : split + 1);

    HKEY key = nullptr;
    if (RegOpenKeyExA(RootKey(root), keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "";
    char value[kValueSize] = {};
    DWORD size = kValueSize;
    const LONG read = RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) return "";
    // A value that fills the buffer without its terminator was longer than the buffer.
    const std::size_t length = strnlen(value, size);
    if (length == kValueSize) return "";
    return std::string(value, length);
}

}  // namespace platform
