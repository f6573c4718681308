#pragma once

#include <cstdio>
#include <string>

#include "frontend/SettingsKeys.h"

class CSMTPEmail;

// The value of a key as the settings file holds it, "" when it is missing.
// The file is read once, at the first question, and again after a write.
const std::string& SettingValue(SettingsKey key);
// Drops (and wipes) the values read, so that the next question reads the file.
void ForgetSettingValues();

// Fills from the settings file what the command line left empty. Returns 1
// when the run may go on, 0 when a required value is missing (the
// "Not initialized" hint was printed) or a value does not fit its buffer.
int LoadSettings(CSMTPEmail& mail);

// On POSIX, a settings file that holds SMTP Password or OAuth Client Secret
// and that group or others may read ends the run: AUTH_FAILED, after a
// message with the path and the mode; 0 to go on. The news password in such
// a file only earns a warning under -v.
int RefuseExposedSecrets();

// Reads the settings that only the file gives (no length limit).
void LoadFileSettings();

// The setup dialogue of "-init": asks for every setting on standard input and
// writes each answer. Returns -1, which ends the run.
int RunSetup();

// Asks for one setting, showing its current value, and writes the answer
// (an empty answer keeps the current value). An answer of capacity
// characters or more is refused and the question asked again. Returns false
// at end of input (nothing written) or when the file cannot be written.
bool AskSetting(const char* key, const char* question, int capacity, FILE* answers);
