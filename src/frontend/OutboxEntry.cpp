#include "frontend/OutboxEntry.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "frontend/Settings.h"
#include "frontend/SettingsKeys.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"

namespace {

constexpr const char* kFormat = "quillex-outbox 1";
constexpr long long kFirstWait = 5 * 60;
constexpr long long kLongestWait = 60 * 60;

// Every field of the envelope by its name in the file.
struct Field {
    const char* name;
    std::string OutboxEnvelope::*text;
};

const Field kFields[] = {
    {"server", &OutboxEnvelope::server},
    {"user", &OutboxEnvelope::user},
    {"auth", &OutboxEnvelope::auth},
    {"ca-file", &OutboxEnvelope::caFile},
    {"fingerprint", &OutboxEnvelope::fingerprint},
    {"news-user", &OutboxEnvelope::newsUser},
    {"sender", &OutboxEnvelope::sender},
    {"error", &OutboxEnvelope::lastError},
};

struct ExtraField {
    const char* name;
    std::string EnvelopeExtras::*text;
};

const ExtraField kExtraFields[] = {{"body", &EnvelopeExtras::body},
                                   {"notify", &EnvelopeExtras::notify},
                                   {"ret", &EnvelopeExtras::ret},
                                   {"envid", &EnvelopeExtras::envid}};

// A value never holds a line break: each field is one line.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

bool ReadNumber(const std::string& text, long long& number)
{
    char* end = nullptr;
    number = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && end && *end == '\0';
}

bool ApplyField(const std::string& name, const std::string& value, OutboxEnvelope& envelope)
{
    for (const Field& field : kFields)
        if (name == field.name) return envelope.*field.text = value, true;
    for (const ExtraField& field : kExtraFields)
        if (name == field.name) return envelope.extras.*field.text = value, true;
    if (name == "ehlo") return envelope.extras.ehloWhenPlain = value == "yes", true;
    if (name == "quoted") return envelope.extras.quotedLocalParts = value == "yes", true;
    long long number = 0;
    if (name == "to") return envelope.receivers.push_back(value), true;
    if (name == "kind") {
        envelope.news = value == "news";
        envelope.notice = value == "notice";
        return envelope.news || envelope.notice || value == "mail";
    }
    if (!ReadNumber(value, number)) return false;
    if (name == "first") return envelope.firstTry = number, true;
    if (name == "next") return envelope.nextTry = number, true;
    if (name == "tries") return envelope.tries = static_cast<int>(number), true;
    return true;  // a field of a later version
}

}  // namespace

std::string EnvelopeText(const OutboxEnvelope& envelope)
{
    std::ostringstream out;
    out << kFormat << "\nkind "
        << (envelope.news     ? "news"
            : envelope.notice ? "notice"
                              : "mail")
        << "\n";
    for (const Field& field : kFields)
        out << field.name << " " << OneLine(envelope.*field.text) << "\n";
    for (const ExtraField& field : kExtraFields)
        out << field.name << " " << OneLine(envelope.extras.*field.text) << "\n";
    // The sendmail name's ways with the greeting and the receivers go with its entries.
    if (envelope.extras.ehloWhenPlain) out << "ehlo yes\n";
    if (envelope.extras.quotedLocalParts) out << "quoted yes\n";
    out << "first " << envelope.firstTry << "\nnext " << envelope.nextTry << "\ntries "
        << envelope.tries << "\n";
    for (const std::string& receiver : envelope.receivers)
        out << "to " << OneLine(receiver) << "\n";
    out << "end\n";
    return out.str();
}

bool ParseEnvelope(const std::string& text, OutboxEnvelope& envelope)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFormat) return false;
    while (std::getline(in, line)) {
        if (line == "end") return !envelope.receivers.empty();
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos) return false;
        if (!ApplyField(line.substr(0, blank), line.substr(blank + 1), envelope)) return false;
    }
    return false;  // cut short
}

long long RetryDelay(int tries)
{
    long long wait = kFirstWait;
    for (int i = 1; i < tries && wait < kLongestWait; ++i) wait *= 2;
    return wait < kLongestWait ? wait : kLongestWait;
}

std::string OutboxFolder()
{
    if (const char* named = std::getenv("QUILLEX_QUEUE_DIR"); named && *named) return named;
    return SettingValue(SettingsKey::QueueDir);
}

std::string EntryPath(const std::string& folder, const std::string& id, const char* suffix)
{
    return folder + "/" + id + suffix;
}

bool RewriteEnvelope(const std::string& folder, const std::string& id,
                     const OutboxEnvelope& envelope)
{
    platform::DurableFile file;
    if (!file.Create(folder)) return false;
    const std::string text = EnvelopeText(envelope);
    if (std::fwrite(text.data(), 1, text.size(), file.File()) != text.size()) return false;
    return file.Commit(EntryPath(folder, id, ".env"));
}

bool ReadEnvelope(const std::string& path, OutboxEnvelope& envelope)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    return ParseEnvelope(text.str(), envelope);
}

std::string NewEntryId()
{
    static unsigned counter = 0;
    char id[64];
    std::snprintf(id, sizeof id, "%010lld-%d-%08x-%u",
                  static_cast<long long>(platform::CurrentTime()), platform::ProcessId(),
                  static_cast<unsigned>(platform::TickCount()), counter++);
    return id;
}

void RemoveEntry(const std::string& folder, const std::string& id)
{
    // Without its envelope the entry is gone for good; a message file that a
    // power cut brings back is an orphan, removed a day later.
    platform::RemoveFileDurably(EntryPath(folder, id, ".env"));
    platform::RemoveFile(EntryPath(folder, id, ".msg").c_str());
}

bool FailEntry(const std::string& folder, const std::string& id, const std::string& reason)
{
    const std::string failed = folder + "/failed";
    if (!platform::MakePrivateFolder(failed)) return false;
    platform::DurableFile why;
    if (!why.Create(failed)) return false;
    const std::string text = OneLine(reason) + "\n";
    std::fwrite(text.data(), 1, text.size(), why.File());
    if (!why.Commit(EntryPath(failed, id, ".reason"))) return false;
    if (!platform::MoveFileDurably(EntryPath(folder, id, ".env"), EntryPath(failed, id, ".env")))
        return false;
    return platform::MoveFileDurably(EntryPath(folder, id, ".msg"), EntryPath(failed, id, ".msg"));
}
