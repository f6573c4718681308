#pragma once

#include <cstdio>

#include "mime/TempFileName.h"

namespace transport {

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

}  // namespace transport
