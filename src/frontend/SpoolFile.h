#pragma once

#include <cstdio>

#include "mime/TempFileName.h"
#include "platform/Files.h"

// A temporary file of the run's own, removed when it goes; File() is null
// when it could not be made.
class SpoolFile {
public:
    SpoolFile()
    {
        MakeTempFileName(m_Name);
        m_File = platform::CreateExclusiveFile(m_Name);
    }
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;
    ~SpoolFile()
    {
        if (!m_File) return;
        std::fclose(m_File);
        platform::RemoveFile(m_Name);
    }
    FILE* File() const { return m_File; }
    const char* Name() const { return m_Name; }

private:
    char m_Name[kTempNameCapacity] = {};
    FILE* m_File = nullptr;
};
