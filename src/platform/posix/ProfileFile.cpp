#include "platform/ProfileFile.h"
#include "platform/posix/SystemProfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kBlanks = " \t\r\n";

// $XDG_CONFIG_HOME, else $HOME/.config; a relative XDG_CONFIG_HOME is ignored
// as the XDG rules demand.
std::string ConfigDirectory()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config";
    const passwd* user = getpwuid(getuid());
    if (user && user->pw_dir && *user->pw_dir) return std::string(user->pw_dir) + "/.config";
    return std::string();
}

std::string ProfilePath(const char* fileName)
{
    if (std::strchr(fileName, '/')) return fileName;
    const std::string directory = ConfigDirectory();
    return directory.empty() ? std::string() : directory + "/" + fileName;
}

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string_view();
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, const char* b)
{
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// The lines of the file, each with its own line end (the last may have none).
std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = (end == std::string::npos) ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool IsSectionLine(std::string_view line, std::string_view& name)
{
    line = Trim(line);
    if (line.empty() || line[0] != '[') return false;
    line.remove_prefix(1);
    name = Trim(line.substr(0, line.find(']')));
    return true;
}

bool IsKeyLine(std::string_view line, std::string_view& key, std::string_view& value)
{
    line = Trim(line);
    if (line.empty() || line[0] == ';') return false;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    key = Trim(line.substr(0, equals));
    value = Trim(line.substr(equals + 1));
    return true;
}

std::string_view Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The whole file; an empty text when it does not exist, nothing when it
// exists but cannot be read (a write must then not replace it).
std::optional<std::string> ReadFileText(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT) return std::string();
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, count);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return text;
}

std::optional<std::string> FindValue(const std::string& text, const char* section, const char* key)
{
    bool inSection = false;
    for (const std::string& line : SplitLines(text)) {
        std::string_view name, value;
        if (IsSectionLine(line, name)) {
            inSection = SameName(name, section);
        } else if (inSection && IsKeyLine(line, name, value) && SameName(name, key)) {
            return std::string(Unquote(value));
        }
    }
    return std::nullopt;
}

// The index of the line that starts the section, or the number of lines.
std::size_t FindSection(const std::vector<std::string>& lines, const char* section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        if (IsSectionLine(lines[i], name) && SameName(name, section)) return i;
    }
    return lines.size();
}

void EndLastLine(std::vector<std::string>& lines, std::size_t before)
{
    if (before > 0 && lines[before - 1].back() != '\n') lines[before - 1] += '\n';
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
}

std::string UpdatedText(const std::string& text, const char* section, const char* key,
                        const char* value)
{
    std::vector<std::string> lines = SplitLines(text);
    const std::string entry = std::string(key) + "=" + value + "\n";
    const std::size_t start = FindSection(lines, section);
    if (start == lines.size()) {
        EndLastLine(lines, lines.size());
        lines.push_back(std::string("[") + section + "]\n");
        lines.push_back(entry);
        return Join(lines);
    }
    std::size_t insertAt = start + 1;
    for (std::size_t i = start + 1; i < lines.size(); ++i) {
        std::string_view name, oldValue;
        if (IsSectionLine(lines[i], name)) break;
        if (IsKeyLine(lines[i], name, oldValue) && SameName(name, key)) {
            const bool ended = lines[i].back() == '\n';
            lines[i] = std::string(name) + "=" + value + (ended ? "\n" : "");
            return Join(lines);
        }
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
    }
    EndLastLine(lines, insertAt);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    return Join(lines);
}

bool MakeDirectories(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The new text goes to a private file beside the old one, which it then
// replaces in one step: a failed write never loses the old settings.
bool ReplaceFile(const std::string& path, const std::string& text)
{
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash)))
        return false;
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());  // created with mode 0600: the file holds a password
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string ProfileFilePath(const char* fileName)
{
    return ProfilePath(fileName);
}

std::string ReadProfileFilePath(const char* fileName)
{
    const std::string own = ProfilePath(fileName);
    if (std::strchr(fileName, '/') || (!own.empty() && access(own.c_str(), F_OK) == 0)) return own;
    const std::string shared = SystemProfilePath(fileName);
    return shared.empty() ? own : shared;
}

std::string ReadProfileString(const char* section, const char* key, const char* defaultValue,
                              const char* fileName)
{
    const std::string path = ReadProfileFilePath(fileName);
    if (path.empty()) return defaultValue;
    const std::optional<std::string> text = ReadFileText(path);
    if (!text) return defaultValue;
    return FindValue(*text, section, key).value_or(defaultValue);
}

std::vector<std::string> ReadProfileStrings(const char* section,
                                            const std::vector<const char*>& keys,
                                            const char* fileName)
{
    std::vector<std::string> values(keys.size());
    const std::string path = ReadProfileFilePath(fileName);
    const std::optional<std::string> text = path.empty() ? std::nullopt : ReadFileText(path);
    for (std::size_t i = 0; text && i < keys.size(); ++i)
        values[i] = FindValue(*text, section, keys[i]).value_or("");
    return values;
}

bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName)
{
    if (std::strpbrk(value, "\r\n")) return false;
    const std::string path = ProfilePath(fileName);
    if (path.empty()) return false;
    const std::optional<std::string> text = ReadFileText(path);
    if (!text) return false;
    return ReplaceFile(path, UpdatedText(*text, section, key, value));
}

}  // namespace platform
