// Placeholder until delivery lands.
#include "platform/Sockets.h"
void platform::StopSockets() {}
