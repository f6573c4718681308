#pragma once

#include <cstddef>
#include <string>

// Addresses with bytes above 0x7F, made fit for the envelope and the headers.

// "Jane Roe <jane@example.com>" reaches the envelope as jane@example.com:
// the text between the last "<" and the ">" after it; otherwise the entry.
std::string EnvelopeAddress(const char* entry);

// True when address can travel in MAIL FROM or RCPT TO as one address: no
// control byte, and no blank, comma, "<" or ">" outside a quoted local part.
// The empty address (the null sender) is one.
bool IsOneAddress(const std::string& address);

// The key that decides whether two receivers are the same: the domain without
// regard to case.
std::string SamenessKey(const std::string& address);

// The address with its domain in ASCII form; a local part that is not ASCII
// is carried as UTF-8. Throws BAD_ARGUMENTS_FROM_FORM when the domain has no
// ASCII form.
std::string AsciiDomainAddress(const std::string& address, const std::string& charset);

// The entry as a header shows it: a display name that is not ASCII becomes
// encoded words starting at column, and the address in angle brackets (or the
// bare address) becomes envelopeAddress.
std::string MailboxForHeader(const char* entry, const std::string& envelopeAddress,
                             const std::string& charset, std::size_t column);
