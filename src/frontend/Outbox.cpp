#include "frontend/Outbox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <queue>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frontend/FrontendGlobals.h"
#include "frontend/OutboxEntry.h"
#include "frontend/OutboxNotice.h"
#include "frontend/RunLog.h"
#include "frontend/Settings.h"
#include "frontend/SettingsKeys.h"
#include "mail/ArpaDate.h"
#include "mail/MessageId.h"
#include "platform/Clock.h"
#include "platform/FileStatus.h"
#include "platform/ProfileFile.h"
#include "transport/ServerName.h"
#include "transport/Session.h"
#include "transport/TemporaryFailure.h"

namespace {

constexpr int kOutboxUnusable = 255;
constexpr long long kDay = 24 * 60 * 60;
constexpr int kDefaultLifetimeDays = 5;
// Entries whose names a flush holds at once.
constexpr std::size_t kBatch = 1024;

std::string ReadQueueSetting(SettingsKey key)
{
    return SettingValue(key);
}

long PositiveSetting(SettingsKey key, long fallback)
{
    const std::string text = ReadQueueSetting(key);
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value > 0 ? value : fallback;
}

std::string Describe(const CSMTPException& error)
{
    return std::string(ErrorText(error.m_Code)) + " (" + error.what() + ")";
}

std::string TimeText(long long when)
{
    const std::time_t time = static_cast<std::time_t>(when);
    char text[32] = "?";
    if (const std::tm* utc = std::gmtime(&time))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

std::vector<std::string> SplitReceivers(const std::string& list)
{
    std::vector<std::string> receivers;
    std::size_t start = list.find_first_not_of(", ");
    while (start != std::string::npos) {
        const std::size_t end = list.find_first_of(", ", start);
        receivers.push_back(list.substr(start, end == std::string::npos ? end : end - start));
        start = list.find_first_not_of(", ", end);
    }
    return receivers;
}

OutboxEnvelope EnvelopeOf(const CSMTPEmail& mail, const std::string& receivers)
{
    OutboxEnvelope envelope;
    envelope.news = mail.m_NewsMode == 1;
    envelope.server = envelope.news ? g_NewsServer : g_MailServer;
    envelope.user = g_SmtpUser;
    envelope.auth = g_SmtpAuth;
    envelope.caFile = g_TlsCaFile;
    envelope.fingerprint = g_TlsFingerprint;
    envelope.newsUser = g_NewsUser;
    envelope.sender = mail.GetHeader("X-Sender", "(NULL)");
    envelope.receivers =
        envelope.news ? std::vector<std::string>{receivers} : SplitReceivers(receivers);
    envelope.extras = mail.m_Extras;
    envelope.firstTry = platform::CurrentTime();
    return envelope;
}

// The message as the server would have had it: Date, and for a server
// named with a scheme Message-ID, fixed now for every later try.
void Compose(CSMTPEmail& mail, FILE* file)
{
    if (!mail.m_RawMessage) {
        mail.SetDate();
        const bool news = mail.m_NewsMode == 1;
        const transport::ServerName server =
            transport::ParseServerName(news ? g_NewsServer : g_MailServer, news);
        if (server.hasScheme && !mail.GetHeader("Message-ID", nullptr)) {
            transport::FillLocalHostName(server.host);
            mail.SetHeader(
                "Message-ID",
                MakeMessageId(mail.GetHeader("X-Sender", ""), transport::s_LocalHostName).c_str(),
                0);
        }
    }
    mail.WriteMessageFile(file);
}

std::string Enqueue(CSMTPEmail& mail, const OutboxEnvelope& envelope)
{
    return WriteEntry(OutboxFolder(), envelope, [&mail](FILE* file) { Compose(mail, file); });
}

[[noreturn]] void RefuseUnwritableOutbox()
{
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "The outbox \"" << OutboxFolder() << "\" cannot be written.";
    throw error;
}

const char* Noun(const CSMTPEmail& mail)
{
    return mail.m_NewsMode == 1 ? "Message" : "Email";
}

}  // namespace

SendOutcome SendOrQueue(CSMTPEmail& mail)
{
    if (OutboxFolder().empty()) {
        mail._SendIt();
        return SendOutcome::SENT;
    }
    const std::string receivers = mail.m_Receivers.value_or("");
    if (ReadQueueSetting(SettingsKey::QueueMode) == "always") {
        mail._EncodeHeaders();
        OutboxEnvelope envelope = EnvelopeOf(mail, receivers);
        envelope.nextTry = envelope.firstTry;
        if (Enqueue(mail, envelope).empty()) RefuseUnwritableOutbox();
        if (g_Verbose) std::fprintf(stderr, "%s: %s was queued.\n", g_ProgramName, Noun(mail));
        return SendOutcome::QUEUED;
    }
    try {
        mail._SendIt();
        return SendOutcome::SENT;
    } catch (const CSMTPException& error) {
        const bool news = mail.m_NewsMode == 1;
        if (!transport::IsTemporaryFailure(error, mail.m_Record.reply, news)) throw;
        OutboxEnvelope envelope = EnvelopeOf(mail, receivers);
        if (!mail.m_Record.waiting.empty()) envelope.receivers = mail.m_Record.waiting;
        envelope.tries = 1;
        envelope.nextTry = envelope.firstTry + RetryDelay(1);
        envelope.lastError = Describe(error);
        std::string id;
        try {
            id = Enqueue(mail, envelope);
        } catch (const CSMTPException&) {
            // The message could not be kept: the run fails as it would have.
        }
        if (id.empty()) throw;
        if (g_Verbose)
            std::fprintf(stderr, "%s: %s was queued for a later try: %s.\n", g_ProgramName,
                         Noun(mail), envelope.lastError.c_str());
        return SendOutcome::QUEUED;
    }
}

namespace {

struct Tally {
    int sent = 0;
    int waiting = 0;
    int failed = 0;
};

// One pass over the outbox.
class Flush {
public:
    Flush(std::string folder, bool all) : m_Folder(std::move(folder)), m_All(all) {}
    int Run();

private:
    void Entry(const std::string& id);
    bool Send(const std::string& id, OutboxEnvelope& envelope);
    void Wait(const std::string& id, OutboxEnvelope& envelope, const std::string& error);
    void Fail(const std::string& id, const OutboxEnvelope& envelope, const std::string& reason);
    void Notify(const OutboxEnvelope& failed, const std::string& id, const std::string& reason);
    void Pace(const std::string& key);
    void RemoveStaleFiles(const std::string& name);

    std::string m_Folder;
    bool m_All;
    long long m_Now = platform::CurrentTime();
    long long m_Lifetime = PositiveSetting(SettingsKey::QueueLifetime, kDefaultLifetimeDays) * kDay;
    long m_Rate = PositiveSetting(SettingsKey::QueueRate, 0);
    std::map<std::string, std::chrono::steady_clock::time_point> m_LastSend;
    std::vector<std::string> m_Throttled;
    Tally m_Tally;
    // One connection, and one login, for the entries of one server and user.
    transport::KeptSession m_Session;
    std::string m_SessionKey;
    void EndSession();
};

std::string ServerKey(const OutboxEnvelope& envelope)
{
    return envelope.server + "\n" + (envelope.news ? envelope.newsUser : envelope.user);
}

// Entries share a connection only when they would greet the server alike.
std::string SessionKey(const OutboxEnvelope& envelope)
{
    return ServerKey(envelope) + (envelope.extras.ehloWhenPlain ? "\nEHLO" : "");
}

bool EndsWith(const std::string& text, const char* suffix)
{
    const std::size_t length = std::strlen(suffix);
    return text.size() > length && text.compare(text.size() - length, length, suffix) == 0;
}

// The entry an envelope's file name stands for; empty for any other file.
std::string EnvelopeId(const std::string& name)
{
    if (!EndsWith(name, ".env") || name[0] == '.') return std::string();
    return name.substr(0, name.size() - 4);
}

// In order, up to count ids after `after` and up to `last`: a flush holds
// one batch of names at a time, however many entries the outbox holds.
std::vector<std::string> NextIds(const std::string& folder, const std::string& after,
                                 const std::string& last, std::size_t count)
{
    std::priority_queue<std::string> smallest;
    platform::VisitFolder(folder, [&](const std::string& name) {
        std::string id = EnvelopeId(name);
        if (id.empty() || id <= after || id > last) return;
        if (smallest.size() == count && !(id < smallest.top())) return;
        smallest.push(std::move(id));
        if (smallest.size() > count) smallest.pop();
    });
    std::vector<std::string> ids(smallest.size());
    for (std::size_t i = ids.size(); i-- > 0; smallest.pop()) ids[i] = smallest.top();
    return ids;
}

std::string Joined(const std::vector<std::string>& receivers)
{
    std::string list;
    for (const std::string& receiver : receivers) list += (list.empty() ? "" : ",") + receiver;
    return list;
}

// The settings the entry was composed for; secrets come from the settings
// and the environment as for any run.
void UseEnvelope(const OutboxEnvelope& envelope)
{
    CopySetting(envelope.news ? g_NewsServer : g_MailServer, kServerCapacity,
                envelope.server.c_str());
    g_SmtpUser = envelope.user;
    g_SmtpAuth = envelope.auth;
    g_TlsCaFile = envelope.caFile;
    g_TlsFingerprint = envelope.fingerprint;
    CopySetting(g_NewsUser, kLoginCapacity, envelope.newsUser.c_str());
}

void Say(const char* format, const std::string& id, const std::string& what)
{
    if (g_Verbose) std::fprintf(stderr, format, g_ProgramName, id.c_str(), what.c_str());
}

// The entries of a batch for one server and user together, each group in its order.
// Each key is held once, however many entries share it.
std::vector<std::string> Grouped(const std::string& folder, std::vector<std::string> ids)
{
    std::set<std::string> keys;
    std::vector<std::pair<const std::string*, std::string>> keyed;
    keyed.reserve(ids.size());
    for (std::string& id : ids) {
        OutboxEnvelope envelope;
        ReadEnvelope(EntryPath(folder, id, ".env"), envelope);
        keyed.emplace_back(&*keys.insert(SessionKey(envelope)).first, std::move(id));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return *a.first < *b.first; });
    ids.clear();
    for (auto& entry : keyed) ids.push_back(std::move(entry.second));
    return ids;
}

void Flush::EndSession()
{
    CSMTPEmail quitting;
    transport::EndKeptSession(quitting, m_Session);
    m_SessionKey.clear();
}

int Flush::Run()
{
    // Entries queued once the flush has begun, its own notices among them,
    // wait for the next one.
    std::string last;
    const bool usable = platform::MakePrivateFolder(m_Folder) &&
                        platform::VisitFolder(m_Folder, [&](const std::string& name) {
                            RemoveStaleFiles(name);
                            last = std::max(last, EnvelopeId(name));
                        });
    if (!usable) {
        std::fprintf(stderr, "%s: The outbox \"%s\" cannot be used.\n", g_ProgramName,
                     m_Folder.c_str());
        return kOutboxUnusable;
    }
    LoadFileSettings();
    CopySetting(g_NewsPassword, kLoginCapacity,
                ReadQueueSetting(SettingsKey::NewsPassword).c_str());
    std::string after;
    for (;;) {
        std::vector<std::string> ids = NextIds(m_Folder, after, last, kBatch);
        if (ids.empty()) break;
        after = ids.back();
        for (const std::string& id : Grouped(m_Folder, std::move(ids))) Entry(id);
    }
    EndSession();
    if (g_Verbose)
        std::fprintf(stderr, "%s: queue: %d sent, %d waiting, %d failed.\n", g_ProgramName,
                     m_Tally.sent, m_Tally.waiting, m_Tally.failed);
    return 0;
}

// A file a crash left half written, or a message whose envelope is gone, is
// no entry and goes after a day.
void Flush::RemoveStaleFiles(const std::string& name)
{
    const std::string path = m_Folder + "/" + name;
    const bool orphan = EndsWith(name, ".msg") &&
                        platform::FileChangeTime(path.substr(0, path.size() - 4) + ".env") < 0;
    if (name.compare(0, 5, ".new-") != 0 && !orphan) return;
    platform::FileLock lock;
    if (orphan && !lock.TryLock(path)) return;
    const long long changed = platform::FileChangeTime(path);
    if (changed >= 0 && changed < m_Now - kDay) platform::RemoveFileDurably(path);
}

void Flush::Entry(const std::string& id)
{
    // Another flush that holds the entry sends it; one that sent it removed it.
    platform::FileLock lock;
    if (!lock.TryLock(EntryPath(m_Folder, id, ".msg"))) return;
    OutboxEnvelope envelope;
    if (!ReadEnvelope(EntryPath(m_Folder, id, ".env"), envelope)) return;
    const std::string key = ServerKey(envelope);
    const bool throttled =
        std::find(m_Throttled.begin(), m_Throttled.end(), key) != m_Throttled.end();
    if (throttled || (!m_All && envelope.nextTry > m_Now)) {
        ++m_Tally.waiting;
        Say("%s: %s: waits until %s", id,
            TimeText(std::max(envelope.nextTry, m_Now)) + ": " + envelope.lastError + ".\n");
        return;
    }
    if (m_Now >= envelope.firstTry + m_Lifetime) {
        Fail(id, envelope,
             "Expired (no try succeeded in " + std::to_string(m_Lifetime / kDay) +
                 " days; the last one met: " + envelope.lastError + ")");
        return;
    }
    Pace(key);
    if (Send(id, envelope)) {
        RemoveEntry(m_Folder, id);
        ++m_Tally.sent;
        Say("%s: %s: sent to %s receivers.\n", id, std::to_string(envelope.receivers.size()));
    }
}

bool Flush::Send(const std::string& id, OutboxEnvelope& envelope)
{
    const std::string path = EntryPath(m_Folder, id, ".msg");
    FILE* raw = std::fopen(path.c_str(), "rb");
    if (!raw) {
        Fail(id, envelope,
             std::string(ErrorText(UNABLE_TO_OPEN_MAILFILE)) + " (the message file is gone)");
        return false;
    }
    UseEnvelope(envelope);
    CSMTPEmail mail;
    mail.m_NewsMode = envelope.news ? 1 : 0;
    mail.SetHeader("X-Sender", envelope.sender.c_str(), 0);
    mail.m_Receivers = Joined(envelope.receivers);
    mail.m_Extras = envelope.extras;
    mail.m_RawMessage = raw;
    mail.m_RawMessageName = path;
    if (SessionKey(envelope) != m_SessionKey) EndSession();
    m_SessionKey = SessionKey(envelope);
    if (!envelope.news) mail.m_Kept = &m_Session;
    // A crash between transactions then sends again only the one in flight.
    mail.m_OnAccepted = [this, &id, &envelope](const std::vector<std::string>& waiting) {
        OutboxEnvelope rest = envelope;
        rest.receivers = waiting;
        RewriteEnvelope(m_Folder, id, rest);
    };
    bool sent = false;
    try {
        mail._SendIt();
        sent = true;
    } catch (const CSMTPException& error) {
        const std::string reply = mail.m_Record.reply;
        if (!mail.m_Record.waiting.empty()) envelope.receivers = mail.m_Record.waiting;
        if (!transport::IsTemporaryFailure(error, reply, envelope.news)) {
            WriteRunLog(mail, error.m_Code);
            Fail(id, envelope, Describe(error));
        } else {
            if (transport::IsThrottled(reply)) m_Throttled.push_back(ServerKey(envelope));
            Wait(id, envelope, Describe(error));
        }
    }
    mail.m_RawMessage = nullptr;
    std::fclose(raw);
    m_LastSend[ServerKey(envelope)] = std::chrono::steady_clock::now();
    return sent;
}

void Flush::Wait(const std::string& id, OutboxEnvelope& envelope, const std::string& error)
{
    ++envelope.tries;
    envelope.nextTry = platform::CurrentTime() + RetryDelay(envelope.tries);
    envelope.lastError = error;
    RewriteEnvelope(m_Folder, id, envelope);
    ++m_Tally.waiting;
    Say("%s: %s: waits until %s", id, TimeText(envelope.nextTry) + ": " + error + ".\n");
}

void Flush::Fail(const std::string& id, const OutboxEnvelope& envelope, const std::string& reason)
{
    FailEntry(m_Folder, id, reason);
    ++m_Tally.failed;
    Say("%s: %s: failed: %s.\n", id, reason);
    if (!envelope.notice) Notify(envelope, id, reason);
}

// The header block of a message file, as it stands.
std::string HeaderBlock(const std::string& path)
{
    std::string headers;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return headers;
    for (int c; (c = std::getc(file)) != EOF;) {
        headers += static_cast<char>(c);
        if (headers.size() >= 4 && headers.compare(headers.size() - 4, 4, "\r\n\r\n") == 0) break;
    }
    std::fclose(file);
    return headers;
}

// Queue Notify gets a notice about a failed entry, queued and sent at once.
void Flush::Notify(const OutboxEnvelope& failed, const std::string& id, const std::string& reason)
{
    const std::string to = ReadQueueSetting(SettingsKey::QueueNotify);
    if (to.empty()) return;
    OutboxEnvelope notice = failed;
    notice.news = false;
    notice.notice = true;
    if (failed.news) notice.server = ReadQueueSetting(SettingsKey::Host);
    notice.sender = "";  // a notice has no return path, so none comes back
    notice.receivers = {to};
    notice.extras = EnvelopeExtras();
    notice.firstTry = platform::CurrentTime();
    notice.nextTry = m_Now;  // due in this flush, even when its clock has moved on a second
    notice.tries = 0;
    notice.lastError.clear();
    char date[96];
    try {
        transport::FillLocalHostName(transport::ParseServerName(notice.server.c_str(), false).host);
    } catch (const CSMTPException&) {
        // The notice names the local host when it can.
    }
    const std::string text =
        NoticeMessage(failed, to, reason, HeaderBlock(EntryPath(m_Folder + "/failed", id, ".msg")),
                      arpadate(date), transport::s_LocalHostName);
    const std::string noticeId = WriteEntry(
        m_Folder, notice, [&text](FILE* file) { std::fwrite(text.data(), 1, text.size(), file); });
    if (!noticeId.empty()) Entry(noticeId);
}

// Queue Rate messages a minute to one server at most.
void Flush::Pace(const std::string& key)
{
    const auto last = m_LastSend.find(key);
    if (m_Rate <= 0 || last == m_LastSend.end()) return;
    const auto gap = std::chrono::milliseconds(60000 / m_Rate);
    std::this_thread::sleep_until(last->second + gap);
}

std::string AgeText(long long seconds)
{
    if (seconds < 60) return std::to_string(seconds < 0 ? 0 : seconds) + "s";
    if (seconds < 3600) return std::to_string(seconds / 60) + "m";
    if (seconds < kDay) return std::to_string(seconds / 3600) + "h";
    return std::to_string(seconds / kDay) + "d";
}

// One line an entry: id, age, size, receivers, tries, next try, last error.
int List(const std::string& folder)
{
    std::vector<std::string> ids;
    const auto collect = [&ids](const std::string& name) {
        if (std::string id = EnvelopeId(name); !id.empty()) ids.push_back(std::move(id));
    };
    if (!platform::MakePrivateFolder(folder) || !platform::VisitFolder(folder, collect)) {
        std::fprintf(stderr, "%s: The outbox \"%s\" cannot be used.\n", g_ProgramName,
                     folder.c_str());
        return kOutboxUnusable;
    }
    std::sort(ids.begin(), ids.end());
    const long long now = platform::CurrentTime();
    for (const std::string& id : ids) {
        OutboxEnvelope envelope;
        if (!ReadEnvelope(EntryPath(folder, id, ".env"), envelope)) continue;
        std::uint64_t size = 0;
        platform::FileSize(EntryPath(folder, id, ".msg").c_str(), size);
        std::printf("%s %s %llu %zu %d %s %s\n", id.c_str(),
                    AgeText(now - envelope.firstTry).c_str(), static_cast<unsigned long long>(size),
                    envelope.receivers.size(), envelope.tries,
                    envelope.nextTry <= now ? "now" : TimeText(envelope.nextTry).c_str(),
                    envelope.lastError.empty() ? "-" : envelope.lastError.c_str());
    }
    std::fflush(stdout);
    return 0;
}

enum class Command { NONE, FLUSH, FLUSH_NOW, LIST };

// The words of the command, the switches -v and -d taken out.
std::vector<std::string> Words(int argc, char** argv, bool& verbose, bool& debug)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-v")
            verbose = true;
        else if (word == "-d")
            debug = true;
        else
            words.push_back(word);
    }
    return words;
}

int RunCommand(Command command)
{
    const std::string folder = OutboxFolder();
    if (folder.empty()) {
        std::fprintf(stderr,
                     "%s: No outbox is set: Queue Dir or QUILLEX_QUEUE_DIR names its folder.\n",
                     g_ProgramName);
        return kOutboxUnusable;
    }
    if (command == Command::LIST) return List(folder);
    return Flush(folder, command == Command::FLUSH_NOW).Run();
}

}  // namespace

int RunOutboxCommand(int argc, char** argv)
{
    bool verbose = false;
    bool debug = false;
    const std::vector<std::string> words = Words(argc, argv, verbose, debug);
    Command command = Command::NONE;
    if (words == std::vector<std::string>{"-flush"}) command = Command::FLUSH;
    if (words == std::vector<std::string>{"-flush", "now"}) command = Command::FLUSH_NOW;
    if (words == std::vector<std::string>{"-queue"}) command = Command::LIST;
    if (command == Command::NONE) return -1;
    if (verbose) g_Verbose = 1;
    if (debug) g_Debug = 1;
    return RunCommand(command);
}

int RunSendmailOutboxCommand(int argc, char** argv)
{
    bool verbose = false;
    bool debug = false;
    const std::vector<std::string> words = Words(argc, argv, verbose, debug);
    if (debug || OutboxFolder().empty()) return -1;
    Command command = Command::NONE;
    if (words == std::vector<std::string>{"-q"}) command = Command::FLUSH_NOW;
    if (words == std::vector<std::string>{"-bp"}) command = Command::LIST;
    if (command == Command::NONE) return -1;
    if (verbose) g_Verbose = 1;
    return RunCommand(command);
}
