#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mail/CSMTPEmail.h"

// One message in the outbox: ID.msg holds the finished message as it goes
// to the server, ID.env beside it the envelope. The envelope is written
// last and removed first, so an entry is there exactly while its envelope is.
struct OutboxEnvelope {
    bool news = false;
    bool notice = false;  // a notice about another entry, never itself reported
    // What the message was composed for; secrets are looked up when it is sent.
    std::string server;
    std::string user;
    std::string auth;
    std::string caFile;
    std::string fingerprint;
    std::string newsUser;
    std::string sender;
    std::vector<std::string> receivers;  // those still waiting
    EnvelopeExtras extras;
    long long firstTry = 0;
    long long nextTry = 0;
    int tries = 0;
    std::string lastError;
};

// The envelope as its file holds it, and back; false for a damaged one.
std::string EnvelopeText(const OutboxEnvelope& envelope);
bool ParseEnvelope(const std::string& text, OutboxEnvelope& envelope);

// The wait after the given number of failed tries: 5 minutes, doubling, at most an hour.
long long RetryDelay(int tries);

// The outbox folder: QUILLEX_QUEUE_DIR, else the setting Queue Dir; "" when neither.
std::string OutboxFolder();

// Paths of an entry's files.
std::string EntryPath(const std::string& folder, const std::string& id, const char* suffix);

// Writes an entry (message file first, then its envelope), each flushed to
// disk; compose writes the message. The new id, or "" when it cannot be written.
template <class Compose>
std::string WriteEntry(const std::string& folder, const OutboxEnvelope& envelope, Compose compose);

// Replaces an entry's envelope in one step; false when it cannot be written.
bool RewriteEnvelope(const std::string& folder, const std::string& id,
                     const OutboxEnvelope& envelope);
// Reads an envelope; false when it is gone or damaged.
bool ReadEnvelope(const std::string& path, OutboxEnvelope& envelope);
// The id a new entry gets: unique among the entries of this machine.
std::string NewEntryId();
// Removes an entry: its envelope, then its message.
void RemoveEntry(const std::string& folder, const std::string& id);
// Moves an entry to failed/, beside a .reason file that says why.
bool FailEntry(const std::string& folder, const std::string& id, const std::string& reason);

#include "platform/DurableFiles.h"

template <class Compose>
std::string WriteEntry(const std::string& folder, const OutboxEnvelope& envelope, Compose compose)
{
    if (!platform::MakePrivateFolder(folder)) return "";
    platform::DurableFile message;
    if (!message.Create(folder)) return "";
    compose(message.File());
    const std::string id = NewEntryId();
    if (!message.Commit(EntryPath(folder, id, ".msg"))) return "";
    if (RewriteEnvelope(folder, id, envelope)) return id;
    platform::RemoveFileDurably(EntryPath(folder, id, ".msg"));
    return "";
}
