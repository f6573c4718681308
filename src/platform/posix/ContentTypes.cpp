#include "platform/ContentTypes.h"

#include <memory>

namespace platform {

namespace {

std::unique_ptr<std::string> s_TablePath;  // null: the system's table

const char* TablePath()
{
    return s_TablePath ? s_TablePath->c_str() : "/etc/mime.types";
}

}  // namespace

void SetContentTypeTable(const char* path)
{
    s_TablePath = path ? std::make_unique<std::string>(path) : nullptr;
}

std::string ContentTypeForExtension(const std::string& extension)
{
    const char* path = TablePath();
    if (!*path) return "";
    FILE* table = std::fopen(path, "r");
    if (!table) return "";
    std::string type = ContentTypeFromTable(table, extension);
    std::fclose(table);
    return type;
}

// No registry here: the table above stands in for it.
std::string GetRegistryString(RegistryRoot, const std::string&)
{
    return "";
}

}  // namespace platform
