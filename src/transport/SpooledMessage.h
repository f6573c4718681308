#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>

#include "mime/TempFileName.h"

class CSMTPEmail;

namespace transport {

class Connection;

// The message as it goes to the server: a temp file created exclusively and
// owner-only (it holds private mail), removed whenever the delivery ends,
// successful or not.
class SpooledMessage {
public:
    // FAILED_TO_OPEN_TEMPFILE when no file can be created.
    SpooledMessage();
    SpooledMessage(const SpooledMessage&) = delete;
    SpooledMessage& operator=(const SpooledMessage&) = delete;
    ~SpooledMessage();

    FILE* File() const { return m_File; }
    const char* Name() const { return m_Name; }
    // FAILED_TO_OPEN_TEMPFILE when the written file cannot be flushed.
    void Rewind();
    // FAILED_TO_OPEN_TEMPFILE: the file could not be written whole.
    [[noreturn]] void FailWrite() const;

private:
    char m_Name[kTempNameCapacity] = {};
    FILE* m_File = nullptr;
};

// The message of one delivery. A finished one (a stored entry, a message
// read whole) goes from its own file as it is; a composed one is written to
// a temp file and streamed in the same pass.
class OutgoingMessage {
public:
    explicit OutgoingMessage(CSMTPEmail& email) : m_Email(email) {}

    // As WriteAndStream: a failed send is returned, a failed write or read thrown.
    std::exception_ptr Stream(Connection& connection);
    // From its start again, for a further transaction.
    void StreamAgain(Connection& connection);
    std::uint64_t Size() const;

private:
    const char* Name() const;

    CSMTPEmail& m_Email;
    std::optional<SpooledMessage> m_Spooled;
};

}  // namespace transport
