#pragma once

#include <cstdio>
#include <string>

// Content types registered by the system for file extensions.
namespace platform {

// The content type registered for the extension (given without its dot, any
// letter case), or "" when the system knows none.
std::string ContentTypeForExtension(const std::string& extension);

// Looks the extension up in a table of the mime.types form: lines of a type
// followed by its extensions, "#" comments. Letter case is ignored.
std::string ContentTypeFromTable(FILE* table, const std::string& extension);

// Replaces the system's table by the file at path for tests; "" means no
// table at all, and a null path restores the system's.
void SetContentTypeTable(const char* path);

// Root keys of a registry of string values.
enum class RegistryRoot { ClassesRoot };

// One string value of the registry: keyAndValue is the key path and the value
// name joined by a backslash. "" when the key or value is missing or
// unreadable. Systems without a registry always give "".
std::string GetRegistryString(RegistryRoot root, const std::string& keyAndValue);

}  // namespace platform
