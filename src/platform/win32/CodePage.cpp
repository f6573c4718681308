#include "platform/CodePage.h"

#include <windows.h>

// The system headers name a function of their own so.
#undef OemToAnsi

#include <algorithm>

namespace platform {

void OemToAnsi(char* text, std::size_t length)
{
    // The length-bounded form: the text may hold zero bytes and need not end in one.
    constexpr std::size_t kChunk = 0x40000000;
    while (length > 0) {
        const DWORD step = static_cast<DWORD>(std::min(length, kChunk));
        OemToCharBuffA(text, text, step);
        text += step;
        length -= step;
    }
}

}  // namespace platform
