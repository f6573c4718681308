#include <vector>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {
namespace {

// The file is read in blocks of whole units; without -d a block's units go
// to the kernel in one call.
constexpr std::size_t kUnitsPerBlock = 256;
constexpr std::size_t kBlockSize = kUnitSize * kUnitsPerBlock;

bool AtEnd(FILE* file)
{
    const int next = std::getc(file);
    if (next == EOF) return true;
    std::ungetc(next, file);
    return false;
}

[[noreturn]] void FailToRead(const char* fileName)
{
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to read tmp file '%s'. Aborting.\n", fileName);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to read tmp file \"" << fileName << "\". Aborting.";
    throw error;
}

void SendFullUnits(Connection& connection, const char* data, std::size_t length)
{
    if (g_Debug) {
        for (std::size_t at = 0; at < length; at += kUnitSize)
            connection.SendUnit(data + at, kUnitSize);
        return;
    }
    platform::SendPiece units[kUnitsPerBlock];
    std::size_t count = 0;
    for (std::size_t at = 0; at < length; at += kUnitSize) units[count++] = {data + at, kUnitSize};
    if (count > 0) connection.SendUnits(units, count);
}

}  // namespace

void StreamMessageFile(CSMTPEmail& email, Connection& connection, FILE* file, const char* fileName)
{
    std::vector<char> block(kBlockSize);
    for (;;) {
        const std::size_t held = std::fread(block.data(), 1, kBlockSize, file);
        if (std::ferror(file)) FailToRead(fileName);
        const bool last = held < kBlockSize || AtEnd(file);
        if (std::ferror(file)) FailToRead(fileName);
        if (!last) {
            SendFullUnits(connection, block.data(), held);
            continue;
        }
        // The last unit holds 1 to 1023 bytes and leaves with the end-of-data marker.
        const std::size_t tail = held == 0 ? 0 : (held - 1) % kUnitSize + 1;
        SendFullUnits(connection, block.data(), held - tail);
        email.m_SendBuffer.append(block.data() + held - tail, tail);
        return;
    }
}

}  // namespace transport
