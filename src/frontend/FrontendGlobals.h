#pragma once

#include <optional>
#include <string>
#include <vector>

#include "frontend/StringList.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"

// The one message of this process, constructed before main.
extern CSMTPEmail g_Mail;

// Argument 0 after its last path separator; names the program in messages.
extern const char* g_ProgramName;
extern int g_SingleDotEnd;        // "-.": a line holding only "." ends the message text
extern StringList g_Attachments;  // "-i" paths, in command-line order
extern StringList g_TextFiles;    // "-t" paths, in command-line order
extern StringList g_BodyLines;    // message text lines as read, dot-doubled, ending in CR LF
extern std::optional<std::string> g_HtmlFile;  // "-H": the HTML version of the message

// The value of every settings key as the file holds it, by SettingsKey,
// once the file has been read (Settings.h: SettingValue).
extern std::optional<std::vector<std::string>> g_SettingValues;

// Returns the front-end state and the shared settings buffers to their
// initial values, so that tests and fuzzers can run the front end again.
void ResetFrontendState();
