#pragma once

// Files, streams and environment variables for the unit tests. Names avoid
// those of the Windows API, which the MinGW build of the tests may see.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "mail/CSMTPEmail.h"
#include "platform/ContentTypes.h"
#include "platform/Environment.h"

// Skips a test whose subject the Windows build takes from Windows itself.
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

// The receivers a mail has collected; "<null>" before the first.
inline std::string Receivers(const CSMTPEmail& mail)
{
    return mail.m_Receivers ? *mail.m_Receivers : "<null>";
}

// An empty directory of the running test's own, removed at its end.
class ScratchDirectory {
public:
    ScratchDirectory()
        : m_Path(std::filesystem::temp_directory_path() /
                 ("quillex-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
        std::filesystem::remove_all(m_Path);
        std::filesystem::create_directories(m_Path);
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

inline std::string TempPath(const std::string& name)
{
    return ::testing::TempDir() + name;
}

// Writes bytes to path, binary, and returns path.
inline std::string PutFile(const std::string& path, const std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

// Everything in file, from its start.
inline std::string ReadBack(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string data;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) data.append(block, got);
    return data;
}

inline std::string FileBytes(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "<missing>";
    std::string data = ReadBack(file);
    std::fclose(file);
    return data;
}

// The text of the CSMTPException that call throws, its code checked;
// "<no exception>" when call returns.
template <class Call>
std::string ThrownText(Call call, SmtpError code)
{
    try {
        call();
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, code);
        return error.what();
    }
    return "<no exception>";
}

// What write(FILE*) puts into a temporary stream.
template <class Writer>
std::string Captured(Writer write)
{
    FILE* file = std::tmpfile();
    write(file);
    std::string data = ReadBack(file);
    std::fclose(file);
    return data;
}

// A temporary stream holding text, read from its start; the caller closes it.
inline FILE* StreamOf(const std::string& text)
{
    FILE* stream = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), stream);
    std::rewind(stream);
    return stream;
}

// Sets environment variables and gives them back their old values at the end.
class ScopedEnvironment {
public:
    ~ScopedEnvironment()
    {
        for (const auto& [name, value] : m_Saved)
            platform::SetEnvironmentValue(name.c_str(), value ? value->c_str() : nullptr);
    }

    void Set(const char* name, const char* value)
    {
        const char* old = std::getenv(name);
        if (!m_Saved.count(name))
            m_Saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        platform::SetEnvironmentValue(name, value);
    }

private:
    std::map<std::string, std::optional<std::string>> m_Saved;
};

// The MIME writer's surroundings: no charset or locale from the caller's
// environment and no system table of content types.
class MimeEnvironment : public ScopedEnvironment {
public:
    MimeEnvironment()
    {
        Set("MM_CHARSET", nullptr);
        Set("LC_ALL", "C");
        platform::SetContentTypeTable("");
    }
    ~MimeEnvironment() { platform::SetContentTypeTable(nullptr); }
};
