#pragma once

// Capacity of a temporary file name, terminating zero included.
constexpr int kTempNameCapacity = 260;

// Writes into buffer (kTempNameCapacity bytes) the path of a temporary file
// that does not exist yet, in the directory named by MAIL_TEMP, TEMP or TMP
// (the first that is set, even when empty) or else the system's default.
// Never fails: the last resort is a fixed name. The file is not created.
void MakeTempFileName(char* buffer);
