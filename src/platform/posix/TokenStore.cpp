#include "platform/TokenStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Crypto.h"
#include "platform/ProfileFile.h"

namespace platform {
namespace {

constexpr const char* kFileName = "Quillex.tokens";
constexpr const char* kFirstLine = "# Quillex OAuth tokens 1\n";
constexpr std::size_t kFieldCount = 6;

std::string StorePath()
{
    const std::string settings = ProfileFilePath();
    const std::size_t slash = settings.rfind('/');
    return slash == std::string::npos ? kFileName : settings.substr(0, slash + 1) + kFileName;
}

// Fields are separated by tabs: a tab, a line break or "%" in one is escaped as %XX.
std::string Escape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Entry {
    std::vector<std::string> fields;  // endpoint, client, user, expiry, access, refresh
    ~Entry()
    {
        for (std::string& field : fields) WipeSecret(&field);
    }
    bool Matches(const TokenKey& key) const
    {
        return fields[0] == key.endpoint && fields[1] == key.clientId && fields[2] == key.user;
    }
};

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(Unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::string ModeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The entries of the file; none when it does not exist yet.
bool ReadEntries(const std::string& path, std::vector<Entry>* entries, std::string* why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *why = "the token file " + path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || (status.st_mode & 044) != 0) {
        close(fd);
        *why = "the token file " + path + " has mode " + ModeText(status.st_mode) +
               ", so others may read it: make it private (chmod 600) or remove it";
        return false;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    const SecretGuard wipe(&text);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        Entry entry;
        entry.fields = Split(line);
        if (entry.fields.size() == kFieldCount) entries->push_back(std::move(entry));
        WipeSecret(&line);
    }
    return true;
}

bool WriteEntries(const std::string& path, const std::vector<Entry>& entries, std::string* why)
{
    std::string text = kFirstLine;
    const SecretGuard wipe(&text);
    for (const Entry& entry : entries) {
        for (std::size_t i = 0; i < kFieldCount; ++i)
            text += Escape(entry.fields[i]) + (i + 1 < kFieldCount ? "\t" : "\n");
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());  // mode 0600
    if (fd < 0) {
        *why = "the token file " + path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    const bool written = done == text.size() && fsync(fd) == 0;
    if (close(fd) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        *why = "the token file " + path + " cannot be written: " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string TokenStoreLocation()
{
    return StorePath();
}

bool LoadTokens(const TokenKey& key, StoredTokens* tokens, bool* found, std::string* why)
{
    *found = false;
    std::vector<Entry> entries;
    if (!ReadEntries(StorePath(), &entries, why)) return false;
    for (const Entry& entry : entries) {
        if (!entry.Matches(key)) continue;
        tokens->expiresAt = std::strtoll(entry.fields[3].c_str(), nullptr, 10);
        tokens->accessToken = entry.fields[4];
        tokens->refreshToken = entry.fields[5];
        *found = true;
    }
    return true;
}

bool SaveTokens(const TokenKey& key, const StoredTokens& tokens, std::string* why)
{
    const std::string path = StorePath();
    std::vector<Entry> entries;
    if (!ReadEntries(path, &entries, why)) return false;
    Entry* slot = nullptr;
    for (Entry& entry : entries)
        if (entry.Matches(key)) slot = &entry;
    if (!slot) slot = &entries.emplace_back();
    slot->fields = {key.endpoint,       key.clientId,
                    key.user,           std::to_string(tokens.expiresAt),
                    tokens.accessToken, tokens.refreshToken};
    return WriteEntries(path, entries, why);
}

TokenStoreLock::~TokenStoreLock()
{
    if (m_Handle >= 0) close(static_cast<int>(m_Handle));  // and with it the lock
}

bool TokenStoreLock::Take(int seconds, std::string* why)
{
    const std::string path = StorePath() + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "the lock file " + path + " cannot be opened: " + std::strerror(errno);
        return false;
    }
    m_Handle = fd;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > end) {
            *why = "the lock file " + path + " cannot be locked: " +
                   (errno == EWOULDBLOCK ? "another run holds it" : std::strerror(errno));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace platform
