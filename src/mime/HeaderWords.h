#pragma once

#include <cstddef>
#include <string>

#include "core/Text.h"

// Header text with bytes above 0x7F made 7-bit: RFC 2047 encoded words for
// unstructured text and display names, RFC 2231 extended parameters for
// attachment names. Folds are "\r\n\t", as the header list folds.

constexpr std::size_t kMaxEncodedWord = 75;
constexpr std::size_t kMaxHeaderLine = 78;

using core::HoldsHighByte;

// "utf-8" in any letter case, with or without the hyphen: then characters,
// not bytes, are the units that are never split.
bool IsUtf8Charset(const std::string& charset);

enum WordForm { WORDS_Q_OR_B, WORDS_B_ONLY };

// The whole text as encoded words in the charset, Q or B per word, whichever
// is shorter. column is the number of characters already on the line; no
// line grows past lineLimit and no word past 75 characters. Blanks of the
// text travel inside the words, since readers drop the white space between
// two encoded words. endColumn, when given, receives the length of the last
// line.
std::string EncodeWords(const std::string& text, const std::string& charset, std::size_t column,
                        std::size_t lineLimit = kMaxHeaderLine, WordForm form = WORDS_Q_OR_B,
                        std::size_t* endColumn = nullptr);

// The value of an unstructured header called name: unchanged when it is
// 7-bit, else encoded words starting after "name: ".
std::string EncodeUnstructured(const char* name, const std::string& value,
                               const std::string& charset);

// The parameter attribute*=charset''value with percent-encoding, or, when
// a line "\tattribute*=...;" would pass 78 characters, the continuations
// attribute*0*=charset''..., attribute*1*=... joined by ";\r\n\t". A
// character is never split across two sections.
std::string EncodeExtendedParameter(const std::string& attribute, const std::string& value,
                                    const std::string& charset);
