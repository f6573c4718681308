#pragma once

#include <map>
#include <string>
#include <vector>

class CSMTPEmail;

// Names without a domain, as the machine's own programs (cron, at, the
// package tools) use them: aliases replace receivers, and a mail domain
// qualifies whatever is left.
struct LocalNames {
    std::map<std::string, std::vector<std::string>> aliases;  // by lower-case name
    std::vector<std::string> fallback;                        // "default:"
    bool hasFallback = false;
    std::string domain;
};

// Parses text in the layout of an aliases file: "name: address, address",
// "#" comments, a line starting with a blank continuing the one before.
// False, with the line's number in *badLine, for a line without a name and
// colon or with an address list that does not parse.
bool ParseAliases(const std::string& text, LocalNames& names, int* badLine);

// Fills names from the settings Aliases File and Mail Domain. 0, or the
// status after one line naming what is wrong.
int LoadLocalNames(LocalNames& names, int status);

// The receivers with every name without a domain replaced by its aliases
// (which are not looked up again), then qualified by the mail domain; each
// address once. Under -v, a name that stays without a domain is warned of.
std::vector<std::string> ResolveReceivers(const std::vector<std::string>& receivers,
                                          const LocalNames& names);

// The address with "@domain" added when it has no domain and a domain is given.
std::string Qualified(const std::string& address, const std::string& domain);

// The value of an address header with "@domain" added after each address
// token that has no domain; every other byte stays.
std::string QualifyHeaderValue(const std::string& value, const std::string& domain);

// Qualifies the From, Sender, Reply-To, To and Cc fields.
void QualifyHeaders(std::vector<std::string>& fields, const std::string& domain);

// The envelope sender when nothing names one: the login name, qualified.
// False when there is no mail domain or no login name.
bool UseLoginSender(CSMTPEmail& mail);
