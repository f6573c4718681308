#pragma once

#include <string>

// Access tokens for XOAUTH2 and OAUTHBEARER, got by the program itself from
// the authorization server that the "OAuth ..." settings name, and kept in
// the platform's token store between runs. Every failure throws
// CSMTPException with AUTH_FAILED and a message that says what to do.
namespace oauth {

// True when the settings ask for OAuth (the client ID is set).
bool InUse();

// The sign-in of "-login" for the user, by the configured flow; the tokens
// are stored. Returns where they are stored.
std::string SignIn(const std::string& user);

// An access token valid for at least another minute: the stored one, else
// one got with the refresh token (client credentials: a new one). A token
// given as refused (the mail server did not take it) is not used again.
std::string AccessToken(const std::string& user, const std::string& refused = std::string());

}  // namespace oauth
