#include "platform/TeeStream.h"

namespace platform {

// The Windows runtime has no streams of the program's own making.
FILE* OpenTeeStream(FILE*, TeeTarget*, bool)
{
    return nullptr;
}

}  // namespace platform
