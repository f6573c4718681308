#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "frontend/Body.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Options.h"
#include "frontend/Usage.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "platform/Environment.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/Sockets.h"
#include "transport/Session.h"
#include "transport/SpooledMessage.h"
#include "transport/TemporaryFailure.h"

namespace fs = std::filesystem;

namespace {

TEST(TimeLimit, EnvironmentOverridesEveryLimitWithAPositiveNumber)
{
    ScopedEnvironment environment;
    environment.Set("QUILLEX_TIMEOUT", nullptr);
    EXPECT_EQ(transport::TimeLimit(300), 300);
    environment.Set("QUILLEX_TIMEOUT", "2");
    EXPECT_EQ(transport::TimeLimit(300), 2);
    EXPECT_EQ(transport::TimeLimit(600), 2);
    for (const char* ignored : {"", "0", "-5", "1.5", "abc", "99999999999999999999"}) {
        environment.Set("QUILLEX_TIMEOUT", ignored);
        EXPECT_EQ(transport::TimeLimit(600), 600) << ignored;
    }
}

std::vector<std::string> AddressTexts(const char* host)
{
    std::vector<std::string> texts;
    for (const platform::SocketAddress& address : transport::HostAddresses(host, 25))
        texts.push_back(address.text);
    return texts;
}

TEST(TemporaryFailure, OnlyWhatALaterTryMayMendWaits)
{
    struct Row {
        SmtpError code;
        const char* reply;
        bool news;
        bool temporary;
        bool throttled;
    };
    const Row rows[] = {
        {FAILED_TO_CONNECT, "", false, true, false},
        {FAILED_TO_RECEIVE, "250 ok", false, true, false},
        {SERVER_ERROR, "451 4.7.1 Greylisted", false, true, true},
        {SERVER_ERROR, "421 4.3.2 closing", false, true, true},
        {SERVER_ERROR, "452 4.5.3 Too many recipients", false, true, true},
        {SERVER_ERROR, "450 4.2.0 Mailbox busy", false, true, false},
        {SERVER_ERROR, "550 5.1.1 No such user", false, false, false},
        {SERVER_ERROR, "441 posting failed", true, false, false},
        {SERVER_ERROR, "400 service unavailable", true, true, false},
        {AUTH_FAILED, "454 4.7.0 Try later", false, true, true},
        {AUTH_FAILED, "535 5.7.8 Bad credentials", false, false, false},
        {CERTIFICATE_REFUSED, "", false, false, false},
        {BAD_ARGUMENTS_FROM_FORM, "", false, false, false},
    };
    for (const Row& row : rows) {
        const CSMTPException error(row.code);
        EXPECT_EQ(transport::IsTemporaryFailure(error, row.reply, row.news), row.temporary)
            << row.reply;
        EXPECT_EQ(transport::IsThrottled(row.reply), row.throttled) << row.reply;
    }
    CSMTPException unanswered(AUTH_FAILED);
    unanswered << "The OAuth token endpoint \"https://t.example\" gave no answer: refused.";
    EXPECT_FALSE(transport::IsTemporaryFailure(unanswered, "", false));
    MarkTemporary(unanswered);  // as the sign-in marks what a later try may mend
    EXPECT_TRUE(transport::IsTemporaryFailure(unanswered, "", false));
}

TEST(HostAddresses, DottedAddressesNeedNoLookupAndNamesGiveEveryFamily)
{
    using Texts = std::vector<std::string>;
    EXPECT_EQ(AddressTexts("127.0.0.1"), Texts{"127.0.0.1"});
    EXPECT_EQ(AddressTexts("255.255.255.255"), Texts{"255.255.255.255"});
    EXPECT_EQ(AddressTexts("::1"), Texts{"::1"});
    for (const char* none : {"", "0.0.0.0", "no-such-host.invalid"}) {
        EXPECT_EQ(AddressTexts(none), Texts{}) << none;
        EXPECT_NE(platform::LastSocketError(), 0) << none;
    }
    const Texts local = AddressTexts("localhost");
    EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
}

// The dialogues of tests/data/dialogues, played in process here and over a
// socket by tests/e2e/test_scripted.py. A file holds "key: value" lines (#
// starts a comment):
//   server: smtp (the default) or nntp, whose steps tests/e2e/servers.py's
//     smtp() and nntp() give (DefaultScript below);
//   reply STEP: the reply of the step whose command starts so ("greeting"
//     for the first): bytes in Python's escapes, or close, silent, stall;
//     pieces joined by " | " come in separate reads (a number among them is
//     a pause, on the socket only);
//   args: the options, split at blanks outside quotes ({big}: a 50 MB file);
//   settings: K=V; K=V, the settings file (in process only HOST, Return
//     Address, Organization and the NNTP keys, where the options left them empty);
//   status: the exit statuses allowed, the SmtpError code of a failure;
//   line: each line the server saw, or lines: upto STEP|none (those of a mail
//     dialogue up to that step); head: a header line of the data;
//   env, port, stderr and stderr~ (a regex): for the socket only;
//   runner: e2e, for a dialogue that only the socket can play.
struct Heard {
    std::vector<std::string> lines, data, units;
    int early = 0;  // commands sent while part of a reply was unread
    int failSend = 0, failReceive = 0, sends = 0, receives = 0;  // the nth call fails
    bool fired = false;
    const char* watched = nullptr;  // a file whose size at the first send goes to onDisk
    std::uint64_t onDisk = UINT64_MAX;
};

class DialogueStream : public transport::Stream {
public:
    struct Step {
        std::optional<std::string> expect;  // none: at once; ".": the data block
        std::vector<std::string> pieces;    // a reply's reads, or close, silent, stall
    };

    DialogueStream(std::vector<Step> script, Heard* heard) : m_Heard(*heard), m_Script(script)
    {
        Play();
    }
    platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                            platform::Deadline) override
    {
        if (m_Heard.watched && m_Heard.onDisk == UINT64_MAX)
            platform::FileSize(m_Heard.watched, m_Heard.onDisk);
        if (++m_Heard.sends == m_Heard.failSend) return Fire();
        if (!m_Reads.empty()) ++m_Heard.early;
        for (std::size_t i = 0; i < count; ++i) {
            m_In.append(pieces[i].data, pieces[i].length);
            m_Heard.units.emplace_back(pieces[i].data, pieces[i].length);
        }
        Play();
        return platform::IoStatus::OK;
    }
    platform::IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline,
                               std::size_t* received) override
    {
        if (++m_Heard.receives == m_Heard.failReceive) return Fire();
        if (m_Reads.empty() || capacity == 0)
            return m_Closed || capacity == 0 ? platform::IoStatus::FAILED
                                             : platform::IoStatus::TIMED_OUT;
        *received = m_Reads.front().copy(buffer, capacity);
        m_Reads.front().erase(0, *received);
        if (m_Reads.front().empty()) m_Reads.erase(m_Reads.begin());
        return platform::IoStatus::OK;
    }
    int LastError() const override { return m_Heard.fired ? 104 : 0; }

private:
    platform::IoStatus Fire()
    {
        m_Heard.fired = true;
        return platform::IoStatus::FAILED;
    }
    // A line that does not match ends the session; after the last step the
    // server only reads.
    void Play()
    {
        while (!m_Closed) {
            if (m_Next == m_Script.size()) {
                while (TakeLine()) continue;
                return;
            }
            const Step& step = m_Script[m_Next];
            if (step.expect == ".") {
                const std::size_t at = ("\r\n" + m_In).find("\r\n.\r\n");
                if (at == std::string::npos) return;
                m_Heard.data.push_back(m_In.substr(0, std::max<std::size_t>(at, 2) - 2));
                m_In.erase(0, at + 3);
                m_Heard.lines.push_back("<data>");
            } else if (step.expect && !TakeLine()) {
                return;
            } else if (step.expect && m_Heard.lines.back().rfind(*step.expect, 0) != 0) {
                m_Closed = true;
            }
            ++m_Next;
            for (const std::string& piece : step.pieces) {
                if (piece == "silent") m_Next = m_Script.size();
                m_Closed = m_Closed || piece == "close" || piece == "stall";
                if (piece != "close" && piece != "silent" && piece != "stall")
                    m_Reads.push_back(piece);
            }
        }
    }
    bool TakeLine()
    {
        const std::size_t end = m_In.find("\r\n");
        if (end == std::string::npos) return false;
        m_Heard.lines.push_back(m_In.substr(0, end));
        m_In.erase(0, end + 2);
        return true;
    }

    Heard& m_Heard;
    std::vector<Step> m_Script;
    std::size_t m_Next = 0;
    std::vector<std::string> m_Reads;
    std::string m_In;
    bool m_Closed = false;
};

using Script = std::vector<DialogueStream::Step>;

Script DefaultScript(bool news)
{
    if (news)
        return {{std::nullopt, {"200 scripted.example.test ready\r\n"}},
                {"GROUP ", {"211 0 1 0 group\r\n"}},
                {"POST", {"340 send article\r\n"}},
                {".", {"240 posted\r\n"}},
                {"QUIT", {"205 bye\r\n"}}};
    return {{std::nullopt, {"220 scripted.example.test ready\r\n"}},
            {"HELO ", {"250 scripted.example.test\r\n"}},
            {"MAIL FROM:", {"250 OK\r\n"}},
            {"RCPT TO:", {"250 OK\r\n"}},
            {"DATA", {"354 go ahead\r\n"}},
            {".", {"250 accepted\r\n"}},
            {"QUIT", {"221 bye\r\n"}}};
}

// \r \n \t \\ \" \0 and \xHH; any other backslash stays.
std::string Unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : 'x';
        const std::size_t named = std::string("rnt\\\"0").find(next);
        if (text[i] == '\\' && next == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else if (text[i] == '\\' && named != std::string::npos) {
            out += "\r\n\t\\\"\0"[named];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> parts;
    for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + separator.size())
        parts.push_back(text.substr(at, (end = text.find(separator, at)) - at));
    return parts;
}

// A pause such as "0.5" between the pieces of a reply, which only the socket plays.
bool IsPause(const std::string& piece)
{
    const std::size_t dot = piece.find('.');
    return dot != std::string::npos && dot > 0 && dot + 1 < piece.size() &&
           piece.find_first_not_of("0123456789.") == std::string::npos &&
           piece.find('.', dot + 1) == std::string::npos;
}

// Blank-separated words; double quotes hold blanks.
std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> std::quoted(word);) words.push_back(word);
    return words;
}

struct Dialogue {
    std::map<std::string, std::string> keys{
        {"args", "-v -S127.0.0.1 -Fsender@example.test rcpt@example.test"},
        {"lines", "upto QUIT"},
        {"status", "0"}};
    std::map<std::string, std::string> replies, settings;
    std::optional<std::vector<std::string>> lines;
    std::vector<std::string> heads;
    Script login;  // steps after the greeting

    bool News() const { return keys.count("server") && keys.at("server") == "nntp"; }
    Script Steps() const
    {
        Script script = DefaultScript(News());
        script.insert(script.begin() + 1, login.begin(), login.end());
        for (DialogueStream::Step& step : script)
            for (const auto& [name, value] : replies)
                if (step.expect.value_or("greeting").rfind(name, 0) == 0) {
                    step.pieces.clear();
                    for (const std::string& piece : Split(value, " | "))
                        if (!IsPause(piece)) step.pieces.push_back(Unescaped(piece));
                }
        return script;
    }
    std::vector<std::string> Expected() const
    {
        if (lines) return *lines;
        const std::pair<const char*, std::string> all[] = {
            {"HELO", std::string("HELO ") + transport::s_LocalHostName},
            {"MAIL", "MAIL FROM:<sender@example.test>"},
            {"RCPT", "RCPT TO:<rcpt@example.test>"},
            {"DATA", "DATA"},
            {".", "<data>"},
            {"QUIT", "QUIT"}};
        std::vector<std::string> upTo;
        for (const auto& [name, line] : all) {
            if (keys.at("lines") == "none") break;
            upTo.push_back(line);
            if (keys.at("lines") == std::string("upto ") + name) break;
        }
        return upTo;
    }
};

Dialogue ReadDialogue(const fs::path& path)
{
    Dialogue dialogue;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const std::size_t colon = line.find(": ");
        if (line[0] == '#' || colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 2);
        if (key.rfind("reply ", 0) == 0) dialogue.replies[key.substr(6)] = value;
        if (key == "line")
            (dialogue.lines ? *dialogue.lines : dialogue.lines.emplace()).push_back(value);
        if (key == "head") dialogue.heads.push_back(Unescaped(value));
        for (const std::string& pair : key == "settings" ? Split(value, "; ") : Words(""))
            dialogue.settings[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
        dialogue.keys[key] = value;
    }
    return dialogue;
}

// The front end's run (Run.cpp: ComposeAndSend without the questions, and
// CSMTPEmail::_SendIt) over the stream instead of a socket: its exit status.
int Play(const Dialogue& dialogue, Heard* heard)
{
    ResetFrontendState();
    CSMTPEmail mail;
    std::vector<std::string> words = Words("quillex " + dialogue.keys.at("args"));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    FILE* input = nullptr;
    try {
        if (ReadOptions(static_cast<int>(words.size()), argv.data(), mail, input) != 0) return 255;
        const std::tuple<const char*, char*, int> buffers[] = {
            {"HOST", g_MailServer, kServerCapacity},
            {"NNTP HOST", g_NewsServer, kServerCapacity},
            {"NNTP User", g_NewsUser, kLoginCapacity},
            {"NNTP Passws", g_NewsPassword, kLoginCapacity},
            {"Organization", g_Organization, kServerCapacity}};
        for (const auto& [key, buffer, size] : buffers)
            if (buffer[0] == '\0' && dialogue.settings.count(key))
                std::snprintf(buffer, size, "%s",
                              NeutraliseLineBreaks(dialogue.settings.at(key).c_str()).c_str());
        if (!mail.GetHeader("X-Sender", nullptr) && dialogue.settings.count("Return Address"))
            mail.SetHeader(
                "X-Sender",
                NeutraliseLineBreaks(dialogue.settings.at("Return Address").c_str()).c_str(), 0);
        mail.AddPart(AssembleBody(g_BodyLines).c_str(), PART_TEXT_AUTO);
        for (const StringNode* node = g_Attachments.First(); node; node = node->next.get())
            mail.AddPart(node->text.c_str(), PART_BINARY_FILE);
        mail.SetHeader("X-Mailer", kProgramBanner, 0);
    } catch (const CSMTPException&) {
        return 255;
    }
    try {
        const bool news = mail.m_NewsMode == 1;
        mail._EncodeHeaders();
        if (!news) mail._CheckSender();
        const transport::ServerName server =
            transport::ParseServerName(news ? g_NewsServer : g_MailServer, news);
        if (!news && mail.NeedsSmtpUtf8() && server.security == transport::Security::PLAIN)
            mail._RefuseUtf8Envelope();
        transport::Connection connection(std::make_unique<DialogueStream>(dialogue.Steps(), heard),
                                         server);
        mail._ReadReply(connection);
        transport::FillLocalHostName(server.host);
        transport::MailSession session;
        if (news)
            transport::NewsDialogue(mail, connection);
        else
            transport::MailDialogue(mail, connection, session);
        mail.SetDate();
        transport::SpooledMessage message;
        if (const std::exception_ptr failure = transport::WriteAndStream(mail, connection, message))
            std::rethrow_exception(failure);
        mail._SendText(connection, "\r\n.\r\n", SEND_QUEUE);
        transport::ReadReplyWithin(mail, connection, 600);
        try {
            transport::Command(mail, connection, "QUIT\r\n");
        } catch (const CSMTPException&) {
            // A delivery for all that.
        }
    } catch (const CSMTPException& error) {
        return error.m_Code != SUCCESS ? error.m_Code : UNKNOWN_ERROR;
    }
    return 0;
}

class DialogueFiles : public ::testing::Test {
protected:
    DialogueFiles() { m_Environment.Set("MAIL_TEMP", (m_Scratch.Path().string() + "/").c_str()); }
    ~DialogueFiles() override { ResetFrontendState(); }

    MimeEnvironment m_Environment;
    ScratchDirectory m_Scratch;
};

TEST_F(DialogueFiles, EachPlaysAsTheFileSays)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(QUILLEX_DIALOGUES)) {
        const std::string name = entry.path().filename().string();
        const Dialogue dialogue = ReadDialogue(entry.path());
        if (dialogue.keys.count("runner")) continue;
        Heard server;
        const int status = Play(dialogue, &server);
        const std::vector<std::string> allowed = Words(dialogue.keys.at("status"));
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), std::to_string(status)), allowed.end())
            << name << ": status " << status;
        EXPECT_EQ(server.lines, dialogue.Expected()) << name;
        EXPECT_EQ(server.early, 0) << name;
        EXPECT_TRUE(fs::is_empty(m_Scratch.Path())) << name << ": a message file left";
        for (const std::string& data : server.data)
            for (const std::string& head : dialogue.heads)
                EXPECT_NE(("\r\n" + data.substr(0, data.find("\r\n\r\n")) + "\r\n")
                              .find("\r\n" + head + "\r\n"),
                          std::string::npos)
                    << name << ": " << head;
    }
}

// A mail delivery and a news posting whose nth Send or Receive fails, for
// every n until the run makes fewer calls: the failure's code, or success
// only with the message accepted before it; never a message file left.
TEST_F(DialogueFiles, EveryFailingSendAndReceiveEndsTheRunCleanly)
{
    const std::string attachment =
        PutFile((m_Scratch.Path() / ".." / "faults.bin").string(), std::string(10000, '\xFF'));
    Dialogue mail;
    mail.keys["args"] =
        "-v -S127.0.0.1 -Fsender@example.test -sFaults -i" + attachment + " rcpt@example.test";
    Dialogue news = mail;
    news.keys = {{"server", "nntp"}, {"args", "-v -u -sFaults -i" + attachment + " local.test"}};
    news.settings = {{"NNTP HOST", "127.0.0.1"},
                     {"Return Address", "poster@example.test"},
                     {"NNTP User", "user"},
                     {"NNTP Passws", "secret"}};
    news.login = {{"AUTHINFO USER user", {"381 password please\r\n"}},
                  {"AUTHINFO PASS secret", {"281 ok\r\n"}}};
    for (const Dialogue* dialogue : {&mail, &news}) {
        Heard whole;
        ASSERT_EQ(Play(*dialogue, &whole), 0);
        for (const bool sending : {true, false}) {
            int failures = 0;
            for (int n = 1, fired = true; fired && n < 1000; ++n) {
                Heard server;
                (sending ? server.failSend : server.failReceive) = n;
                const int status = Play(*dialogue, &server);
                fired = server.fired;
                if (status == 0)  // the same size: only the date may differ
                    EXPECT_EQ(server.data.size() == 1 ? server.data[0].size() : 0,
                              whole.data.at(0).size())
                        << n;
                else
                    EXPECT_TRUE(fired && status == (sending ? FAILED_TO_SEND : FAILED_TO_RECEIVE))
                        << n << ": status " << status;
                failures += status != 0;
                EXPECT_TRUE(fs::is_empty(m_Scratch.Path())) << n << ": a message file left";
            }
            EXPECT_GT(failures, 3) << dialogue->keys.at("args") << sending;
        }
    }
    std::remove(attachment.c_str());
}

struct ParseCase {
    const char* text;
    int code;
    std::vector<std::string> lines;
    std::size_t length;
};

TEST(Reply, ParsesCodeLinesAndWhereTheReplyEnds)
{
    const ParseCase cases[] = {
        {"250 OK\r\n", 250, {"OK"}, 8},
        {"250-host\r\n250-PIPELINING\r\n250 STARTTLS\r\n",
         250,
         {"host", "PIPELINING", "STARTTLS"},
         40},
        {"334 \r\n", 334, {""}, 6},
        {"220\r\n", 220, {""}, 5},
        {"220 go ahead\r\nXYZ\r\n", 220, {"go ahead"}, 14},
        {"2x0 odd\r\n", -1, {"odd"}, 9},
    };
    for (const ParseCase& c : cases) {
        const transport::Reply reply = transport::ParseReply(c.text, std::strlen(c.text));
        EXPECT_EQ(reply.code, c.code) << c.text;
        EXPECT_EQ(reply.lines, c.lines) << c.text;
        EXPECT_EQ(reply.length, c.length) << c.text;
    }
}

TEST(Connection, ALocalPartBeyondAsciiGoesOnlyWhereSmtpUtf8IsOffered)
{
    for (const bool offered : {true, false}) {
        const transport::ServerName server{"mx.example.test", 465,
                                           transport::Security::IMPLICIT_TLS, true, ""};
        Heard seen;
        auto stream = std::make_unique<DialogueStream>(
            Script{{"EHLO ", {offered ? "250-mx\r\n250 SMTPUTF8\r\n" : "250 mx\r\n"}},
                   {"MAIL", {"250 sender\r\n"}},
                   {"RCPT", {"250 rcpt\r\n"}},
                   {"DATA", {"354 go\r\n"}}},
            &seen);
        transport::Connection connection(std::move(stream), server);
        ScopedEnvironment environment;
        environment.Set("MM_CHARSET", "utf-8");  // the local part below is UTF-8
        CSMTPEmail mail;
        mail.AddTo("j\xC3\xB6rg@x.test");
        mail.SetHeader("X-Sender", "me@x.test");
        mail._EncodeHeaders();
        transport::MailSession session;
        if (!offered) {
            EXPECT_THROW(transport::MailDialogue(mail, connection, session), CSMTPException);
            EXPECT_EQ(seen.lines.size(), 1u);  // EHLO and nothing after it
            continue;
        }
        transport::MailDialogue(mail, connection, session);
        ASSERT_EQ(seen.lines.size(), 4u);
        EXPECT_EQ(seen.lines[1], "MAIL FROM:<me@x.test> SMTPUTF8");
        EXPECT_EQ(seen.lines[2], "RCPT TO:<j\xC3\xB6rg@x.test>");
    }
}

// DNS gets the ASCII form of the name; SNI and the certificate check get it
// without the final dot of a fully qualified name.
TEST(Connection, TheTlsPeerIsTheAsciiHostWithoutItsFinalDot)
{
    ScopedEnvironment environment;
    environment.Set("MM_CHARSET", "utf-8");
    const char* const rows[][3] = {
        {"smtps://mail.example.test.", "mail.example.test.", "mail.example.test"},
        {"smtps://b\u00FCcher.example.", "xn--bcher-kva.example.", "xn--bcher-kva.example"},
        {"b\u00FCcher.example:2525", "xn--bcher-kva.example", "xn--bcher-kva.example"},
        {"smtps://[::1]", "::1", "::1"},
    };
    for (const auto& row : rows) {
        const transport::ServerName server = transport::ParseServerName(row[0], false);
        EXPECT_EQ(server.host, row[1]);
        Heard heard;
        const transport::Connection connection(std::make_unique<DialogueStream>(Script{}, &heard),
                                               server);
        EXPECT_EQ(transport::TlsPeerFor(connection).host, row[2]);
    }
}

// A line without its end, or endless continuation lines: the fixed buffer
// fills up and the read fails, whatever else the server has in store.
TEST(Connection, ReplyLongerThanTheBufferFailsToReceive)
{
    std::string lines;
    for (int i = 0; i < 10000; ++i) lines += "220-" + std::string(60, 'y') + "\r\n";
    for (const std::string& reply : {"250-" + std::string(40000, 'x') + "\r\n", lines}) {
        Heard heard;
        transport::Connection connection(std::make_unique<DialogueStream>(
            Script{{std::nullopt, {reply, "220 end\r\n"}}}, &heard));
        try {
            connection.ReadReply(5);
            ADD_FAILURE() << "no exception";
        } catch (const CSMTPException& error) {
            EXPECT_EQ(error.m_Code, FAILED_TO_RECEIVE);
        }
        EXPECT_EQ(connection.LastReply().Length(), transport::kReplyBufferSize - 1);
    }
}

// Units leave while the file is written, from a thread of their own once the
// message outgrows one run; a failed send (the first or a later one) ends
// the sending, not the file, which is whole when the failure is thrown.
TEST(Connection, TheMessageStreamsWhileItsFileIsWritten)
{
    const ScratchDirectory scratch;
    const std::string data =
        PutFile((scratch.Path() / "data.bin").string(), std::string(600000, 'x'));
    std::string whole;
    for (const int fail : {0, 1, 2}) {
        CSMTPEmail mail;
        mail.AddPart(data.c_str(), PART_BINARY_FILE);
        transport::SpooledMessage message;
        Heard heard;
        heard.failSend = fail;
        heard.watched = message.Name();
        transport::Connection connection(std::make_unique<DialogueStream>(Script{}, &heard));
        try {
            if (const std::exception_ptr failure =
                    transport::WriteAndStream(mail, connection, message))
                std::rethrow_exception(failure);
            EXPECT_FALSE(fail);
        } catch (const CSMTPException& error) {
            EXPECT_TRUE(fail);
            EXPECT_EQ(error.m_Code, FAILED_TO_SEND);
        }
        const std::string file = FileBytes(message.Name());
#ifndef _WIN32
        EXPECT_LT(heard.onDisk, file.size());
#endif
        if (fail) {
            EXPECT_EQ(file, whole);
            EXPECT_EQ(heard.units.empty(), fail == 1);
            continue;
        }
        whole = file;
        std::string units;
        for (const std::string& unit : heard.units)
            units += unit.size() == 1023 ? unit : "<short unit>";
        EXPECT_EQ(units + mail.m_SendBuffer, file);
        EXPECT_TRUE(mail.m_SendBuffer.size() >= 1 && mail.m_SendBuffer.size() <= 1023);
    }
}

TEST(ExclusiveFile, CreatesANewOwnerOnlyFile)
{
    SKIP_ON_WINDOWS("Windows files carry no POSIX permission bits");
    const ScratchDirectory scratch;
    const fs::path path = scratch.Path() / "~mail1";
    FILE* file = platform::CreateExclusiveFile(path.string().c_str());
    ASSERT_NE(file, nullptr);
    std::fputs("data", file);
    std::rewind(file);
    char back[8] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back, file), 4u);
    EXPECT_STREQ(back, "data");
    std::fclose(file);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(platform::RemoveFile(path.string().c_str()));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(platform::RemoveFile(path.string().c_str()));
}

}  // namespace
