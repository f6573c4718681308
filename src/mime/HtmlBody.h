#pragma once

#include <string>
#include <vector>

class CSMTPEmail;

// An image that the HTML shows from a file beside it, sent inside the message.
struct InlineImage {
    std::string path;       // the HTML's folder and the reference
    std::string contentId;  // "N.quillex@host", without angle brackets
};

// The charset that a <meta charset> or <meta http-equiv="Content-Type">
// declares; "" when there is none or it is not a plain token.
std::string DeclaredCharset(const std::string& html);

// Rewrites every src= and background= that names a file in folder or below
// (a relative path that neither is a URL nor climbs out with "..") to
// "cid:N.quillex@host", one number per file, and lists those files in the
// order of their first use. folder is "" or ends in a separator.
std::string EmbedImages(const std::string& html, const std::string& folder, const std::string& host,
                        std::vector<InlineImage>& images);

// The text that a reader of the HTML sees: tags removed, <br>, paragraphs,
// headings, list items and table rows as line breaks, entities decoded into
// charset (a character it lacks becomes "?" and clears *fits), links as
// "text (URL)", script and style left out. Lines end in LF; the text ends in
// one LF.
std::string HtmlToText(const std::string& html, const std::string& charset, bool* fits = nullptr);

// Text in the form the message file holds: CR LF line ends, and a "." that
// opens a line doubled.
std::string WireText(const std::string& text);

// Adds the HTML file at htmlPath as the message's body: multipart/alternative
// of the text part (text, or one made from the HTML when no text was given)
// and the HTML part, which goes into multipart/related with its images.
// Throws FAILED_TO_OPEN_TEMPFILE when the file or an image cannot be read.
void AddHtmlBody(CSMTPEmail& mail, const char* htmlPath, const std::string& text, bool textGiven,
                 const std::string& host);
