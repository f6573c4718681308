// Placeholder until composition lands.
#include "mime/CSMTPPart.h"
#include "mail/CSMTPEmail.h"

CSMTPPart::CSMTPPart(CSMTPEmail*) {}
CSMTPPart::~CSMTPPart() = default;
int CSMTPEmail::AddPart(const char*, int) { return 0; }
void CSMTPEmail::WriteMessageFile(FILE*) {}
void CSMTPEmail::SetDate() {}
