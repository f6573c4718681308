// Placeholder until delivery lands.
#include "mail/CSMTPEmail.h"

void CSMTPEmail::_SendIt() { throw CSMTPException(UNKNOWN_ERROR); }
bool CSMTPEmail::_SendText(platform::Socket, const char*, int) { return true; }
bool CSMTPEmail::_ReadReply(platform::Socket) { return true; }
std::uint32_t CSMTPEmail::_ResolveHost(const char*) { return 0; }
