#include "mime/HtmlBody.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "core/Text.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "mime/HeaderWords.h"
#include "platform/FileStatus.h"

namespace {

// The entities that HTML 4 names. The Latin-1 ones stand for 160 to 255 in order.
const char kLatin1Entities[] =
    "nbsp iexcl cent pound curren yen brvbar sect uml copy ordf laquo not shy reg macr deg "
    "plusmn sup2 sup3 acute micro para middot cedil sup1 ordm raquo frac14 frac12 frac34 iquest "
    "Agrave Aacute Acirc Atilde Auml Aring AElig Ccedil Egrave Eacute Ecirc Euml Igrave Iacute "
    "Icirc Iuml ETH Ntilde Ograve Oacute Ocirc Otilde Ouml times Oslash Ugrave Uacute Ucirc Uuml "
    "Yacute THORN szlig agrave aacute acirc atilde auml aring aelig ccedil egrave eacute ecirc "
    "euml igrave iacute icirc iuml eth ntilde ograve oacute ocirc otilde ouml divide oslash "
    "ugrave uacute ucirc uuml yacute thorn yuml";
const char kOtherEntities[] =
    "quot 34 amp 38 apos 39 lt 60 gt 62 OElig 338 oelig 339 Scaron 352 scaron 353 Yuml 376 "
    "fnof 402 circ 710 tilde 732 Alpha 913 Beta 914 Gamma 915 Delta 916 Epsilon 917 Zeta 918 "
    "Eta 919 Theta 920 Iota 921 Kappa 922 Lambda 923 Mu 924 Nu 925 Xi 926 Omicron 927 Pi 928 "
    "Rho 929 Sigma 931 Tau 932 Upsilon 933 Phi 934 Chi 935 Psi 936 Omega 937 alpha 945 "
    "beta 946 gamma 947 delta 948 epsilon 949 zeta 950 eta 951 theta 952 iota 953 kappa 954 "
    "lambda 955 mu 956 nu 957 xi 958 omicron 959 pi 960 rho 961 sigmaf 962 sigma 963 tau 964 "
    "upsilon 965 phi 966 chi 967 psi 968 omega 969 thetasym 977 upsih 978 piv 982 ensp 8194 "
    "emsp 8195 thinsp 8201 zwnj 8204 zwj 8205 lrm 8206 rlm 8207 ndash 8211 mdash 8212 "
    "lsquo 8216 rsquo 8217 sbquo 8218 ldquo 8220 rdquo 8221 bdquo 8222 dagger 8224 "
    "Dagger 8225 bull 8226 hellip 8230 permil 8240 prime 8242 Prime 8243 lsaquo 8249 "
    "rsaquo 8250 oline 8254 frasl 8260 euro 8364 image 8465 weierp 8472 real 8476 trade 8482 "
    "alefsym 8501 larr 8592 uarr 8593 rarr 8594 darr 8595 harr 8596 crarr 8629 lArr 8656 "
    "uArr 8657 rArr 8658 dArr 8659 hArr 8660 forall 8704 part 8706 exist 8707 empty 8709 "
    "nabla 8711 isin 8712 notin 8713 ni 8715 prod 8719 sum 8721 minus 8722 lowast 8727 "
    "radic 8730 prop 8733 infin 8734 ang 8736 and 8743 or 8744 cap 8745 cup 8746 int 8747 "
    "there4 8756 sim 8764 cong 8773 asymp 8776 ne 8800 equiv 8801 le 8804 ge 8805 sub 8834 "
    "sup 8835 nsub 8836 sube 8838 supe 8839 oplus 8853 otimes 8855 perp 8869 sdot 8901 "
    "lceil 8968 rceil 8969 lfloor 8970 rfloor 8971 lang 9001 rang 9002 loz 9674 spades 9824 "
    "clubs 9827 hearts 9829 diams 9830";

// windows-1252 at 0x80 to 0x9F; 0 where it has no character.
const unsigned short kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

const std::map<std::string, unsigned>& EntityTable()
{
    static const std::map<std::string, unsigned> table = [] {
        std::map<std::string, unsigned> names;
        std::istringstream latin1(kLatin1Entities);
        std::string name;
        for (unsigned code = 160; latin1 >> name; ++code) names[name] = code;
        std::istringstream other(kOtherEntities);
        unsigned code = 0;
        while (other >> name >> code) names[name] = code;
        return names;
    }();
    return table;
}

enum class Charset { UTF8, LATIN1, WINDOWS_1252, OTHER };

Charset KindOf(const std::string& charset)
{
    if (IsUtf8Charset(charset)) return Charset::UTF8;
    std::string name;
    for (char c : charset) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1")
        return Charset::LATIN1;
    if (name == "windows-1252" || name == "cp1252") return Charset::WINDOWS_1252;
    return Charset::OTHER;
}

// False when the charset has no such character.
bool PutCharacter(unsigned code, Charset charset, std::string& out)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
        return true;
    }
    switch (charset) {
    case Charset::UTF8:
        if (code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
        } else {
            if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            }
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (code & 0x3F));
        return true;
    case Charset::WINDOWS_1252:
        for (unsigned i = 0; i < 32; ++i) {
            if (kWindows1252High[i] != code) continue;
            out += static_cast<char>(0x80 + i);
            return true;
        }
        if (code >= 0xA0 && code <= 0xFF) break;
        return false;
    case Charset::LATIN1:
        if (code <= 0xFF) break;
        return false;
    case Charset::OTHER: return false;
    }
    out += static_cast<char>(code);
    return true;
}

int HexValue(char c)
{
    if (std::isdigit(static_cast<unsigned char>(c))) return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// The entity at text[at] == '&': its character and its length, or no character.
std::optional<unsigned> ReadEntity(const std::string& text, std::size_t at, std::size_t& length)
{
    std::size_t i = at + 1;
    if (i < text.size() && text[i] == '#') {
        const bool hex = i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X');
        i += hex ? 2 : 1;
        const std::size_t digits = i;
        unsigned long code = 0;
        for (; i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i]))
                                       : std::isdigit(static_cast<unsigned char>(text[i])));
             ++i)
            if (code <= 0x10FFFF) code = code * (hex ? 16 : 10) + HexValue(text[i]);
        if (i == digits) return std::nullopt;
        if (i < text.size() && text[i] == ';') ++i;
        length = i - at;
        return static_cast<unsigned>(code > 0x10FFFF || code == 0 ? 0xFFFD : code);
    }
    while (i < text.size() && std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size() || text[i] != ';') return std::nullopt;
    const auto found = EntityTable().find(text.substr(at + 1, i - at - 1));
    if (found == EntityTable().end()) return std::nullopt;
    length = i + 1 - at;
    return found->second;
}

// The text with its entities decoded; bytes that are no entity are kept.
std::string Decoded(const std::string& text, Charset charset, bool& fits)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const std::optional<unsigned> code =
            text[i] == '&' ? ReadEntity(text, i, length) : std::nullopt;
        if (!code) {
            out += text[i++];
            continue;
        }
        if (!PutCharacter(*code, charset, out)) {
            out += '?';
            fits = false;
        }
        i += length;
    }
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

using core::Lower;

struct Attribute {
    std::string name;  // lower case
    std::size_t begin = 0;
    std::size_t end = 0;  // the value is html[begin, end)
};

struct Tag {
    std::string name;  // lower case
    bool closing = false;
    std::size_t end = 0;  // just after the ">"
    std::vector<Attribute> attributes;

    const Attribute* Find(const char* wanted) const
    {
        for (const Attribute& attribute : attributes)
            if (attribute.name == wanted) return &attribute;
        return nullptr;
    }
};

void ReadAttributeValue(const std::string& html, std::size_t& i, Attribute& attribute)
{
    while (i < html.size() && IsBlank(html[i])) ++i;
    if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
        const std::size_t close = html.find(html[i], i + 1);
        attribute.begin = i + 1;
        attribute.end = close == std::string::npos ? html.size() : close;
        i = close == std::string::npos ? html.size() : close + 1;
        return;
    }
    attribute.begin = i;
    while (i < html.size() && !IsBlank(html[i]) && html[i] != '>') ++i;
    attribute.end = i;
}

// The tag that opens at html[at] == '<'; false when the "<" opens no tag.
bool ReadTag(const std::string& html, std::size_t at, Tag& tag)
{
    tag = Tag();
    std::size_t i = at + 1;
    if (i < html.size() && html[i] == '/') {
        tag.closing = true;
        ++i;
    }
    if (i >= html.size() || !std::isalpha(static_cast<unsigned char>(html[i]))) return false;
    while (i < html.size() && !IsBlank(html[i]) && html[i] != '>' && html[i] != '/')
        tag.name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i++])));
    for (;;) {
        while (i < html.size() && (IsBlank(html[i]) || html[i] == '/')) ++i;
        if (i >= html.size() || html[i] == '>') break;
        Attribute attribute;
        while (i < html.size() && !IsBlank(html[i]) && html[i] != '>' &&
               (html[i] != '=' || attribute.name.empty()))
            attribute.name +=
                static_cast<char>(std::tolower(static_cast<unsigned char>(html[i++])));
        while (i < html.size() && IsBlank(html[i])) ++i;
        if (i < html.size() && html[i] == '=') ReadAttributeValue(html, ++i, attribute);
        tag.attributes.push_back(attribute);
    }
    tag.end = i < html.size() ? i + 1 : i;
    return true;
}

// Elements whose contents are no markup and no text a reader sees.
bool IsRawText(const std::string& name)
{
    return name == "script" || name == "style" || name == "title";
}

// Where "</name" next starts, in any letter case.
std::size_t FindEndTag(const std::string& html, const std::string& name, std::size_t from)
{
    for (std::size_t at = from; (at = html.find("</", at)) != std::string::npos; ++at)
        if (Lower(html.substr(at + 2, name.size())) == name) return at;
    return std::string::npos;
}

// Calls text(begin, end, visible) for every run between tags (comments and
// the contents of script, style and title are invisible runs) and tag(begin, tag)
// for every tag, in document order.
template <typename OnText, typename OnTag>
void Walk(const std::string& html, OnText text, OnTag tag)
{
    std::size_t i = 0;
    std::size_t start = 0;
    while ((i = html.find('<', i)) != std::string::npos) {
        std::size_t end = std::string::npos;
        Tag found;
        const bool declaration = html.compare(i, 2, "<!") == 0 || html.compare(i, 2, "<?") == 0;
        if (html.compare(i, 4, "<!--") == 0) {
            end = html.find("-->", i + 4);
            end = end == std::string::npos ? html.size() : end + 3;
        } else if (declaration) {
            end = html.find('>', i);
            end = end == std::string::npos ? html.size() : end + 1;
        } else if (!ReadTag(html, i, found)) {
            ++i;
            continue;
        }
        text(start, i, true);
        if (end != std::string::npos) {
            text(i, end, false);
        } else {
            tag(i, found);
            end = found.end;
            if (!found.closing && IsRawText(found.name)) {
                const std::size_t close = FindEndTag(html, found.name, end);
                const std::size_t rawEnd = close == std::string::npos ? html.size() : close;
                text(end, rawEnd, false);
                end = rawEnd;
            }
        }
        i = start = end;
    }
    text(start, html.size(), true);
}

// A reference with its %XX escapes decoded, as a browser reads a file URL.
std::string Unescaped(const std::string& reference)
{
    std::string out;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        if (reference[i] == '%' && i + 2 < reference.size() &&
            std::isxdigit(static_cast<unsigned char>(reference[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(reference[i + 2]))) {
            out += static_cast<char>(HexValue(reference[i + 1]) * 16 + HexValue(reference[i + 2]));
            i += 2;
        } else {
            out += reference[i];
        }
    }
    return out;
}

// The file that a reference names below folder, its segments joined by "/";
// "" when it names none: a URL, an absolute path, one that climbs out.
std::string LocalFile(const std::string& value)
{
    std::string reference = value.substr(0, value.find_first_of("?#"));
    while (!reference.empty() && IsBlank(reference.back())) reference.pop_back();
    reference.erase(0, reference.find_first_not_of(" \t\r\n\f"));
    reference = Unescaped(reference);
    const std::size_t colon = reference.find(':');
    if (colon != std::string::npos && colon < reference.find_first_of("/\\"))
        return "";  // a scheme, or a drive letter
    if (reference.empty() || platform::IsPathSeparator(reference[0]) ||
        reference.find('\0') != std::string::npos)
        return "";
    std::vector<std::string> segments(1);
    for (const char c : reference) {
        if (platform::IsPathSeparator(c))
            segments.emplace_back();
        else
            segments.back() += c;
    }
    std::vector<std::string> kept;
    for (const std::string& segment : segments) {
        if (segment == "..") {
            if (kept.empty()) return "";
            kept.pop_back();
        } else if (!segment.empty() && segment != ".") {
            kept.push_back(segment);
        }
    }
    std::string path;
    for (const std::string& segment : kept) path += (path.empty() ? "" : "/") + segment;
    return path;
}

// What the text version is being written into.
class TextWriter {
public:
    explicit TextWriter(Charset charset) : m_Charset(charset) {}

    void Visible(const std::string& raw)
    {
        const std::string text = Decoded(raw, m_Charset, m_Fits);
        for (const char c : text) {
            if (m_Preformatted && c == '\n') {
                LineBreak();
            } else if (!m_Preformatted && IsBlank(c)) {
                m_Blank = true;
            } else if (c != '\r') {
                if (m_Blank && !m_Out.empty() && m_Out.back() != '\n') m_Out += ' ';
                m_Blank = false;
                m_Out += c;
            }
        }
    }

    void OnTag(const std::string& html, const Tag& tag)
    {
        const std::string& name = tag.name;
        if (name == "br" && !tag.closing) LineBreak();
        if (name == "p" || (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6'))
            EndLines(2);
        if (name == "li" || name == "tr" || name == "div" || name == "ul" || name == "ol" ||
            name == "table" || name == "pre" || name == "blockquote")
            EndLines(1);
        if (name == "td" || name == "th") m_Blank = true;
        if (name == "pre") m_Preformatted = !tag.closing;
        if (name == "a") Link(html, tag);
    }

    std::string Finish(bool* fits)
    {
        while (!m_Out.empty() && IsBlank(m_Out.back())) m_Out.pop_back();
        if (fits) *fits = m_Fits;
        m_Out.erase(0, m_Out.find_first_not_of('\n'));
        return m_Out + "\n";
    }

private:
    void TrimLine()
    {
        while (!m_Out.empty() && (m_Out.back() == ' ' || m_Out.back() == '\t')) m_Out.pop_back();
        m_Blank = false;
    }

    void LineBreak()
    {
        TrimLine();
        m_Out += '\n';
    }

    // The text goes on after at least count line breaks.
    void EndLines(std::size_t count)
    {
        TrimLine();
        if (m_Out.empty()) return;
        std::size_t have = 0;
        while (have < m_Out.size() && m_Out[m_Out.size() - 1 - have] == '\n') ++have;
        if (have < count) m_Out.append(count - have, '\n');
    }

    void Link(const std::string& html, const Tag& tag)
    {
        if (!tag.closing) {
            const Attribute* href = tag.Find("href");
            m_Link.reset();
            if (!href) return;
            m_Link = Decoded(html.substr(href->begin, href->end - href->begin), m_Charset, m_Fits);
            m_LinkStart = m_Out.size();
            return;
        }
        if (!m_Link || m_Link->empty()) return;
        std::string shown = m_Out.substr(std::min(m_LinkStart, m_Out.size()));
        shown.erase(0, shown.find_first_not_of(" \n"));
        if (shown != *m_Link && "mailto:" + shown != *m_Link) {
            if (!m_Out.empty() && m_Out.back() != '\n') m_Out += ' ';
            m_Out += shown.empty() ? *m_Link : "(" + *m_Link + ")";
            m_Blank = false;
        }
        m_Link.reset();
    }

    Charset m_Charset;
    std::string m_Out;
    bool m_Blank = false;
    bool m_Preformatted = false;
    bool m_Fits = true;
    std::optional<std::string> m_Link;
    std::size_t m_LinkStart = 0;
};

bool IsCharsetToken(const std::string& text)
{
    if (text.empty()) return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_.:+", c)) return false;
    return true;
}

std::string CharsetOfContentType(const std::string& value)
{
    const std::string lower = Lower(value);
    const std::size_t at = lower.find("charset=");
    if (at == std::string::npos) return "";
    std::size_t begin = at + 8;
    while (begin < value.size() && (value[begin] == '"' || value[begin] == '\'')) ++begin;
    std::size_t end = begin;
    while (end < value.size() && !IsBlank(value[end]) && !std::strchr(";\"'", value[end])) ++end;
    return value.substr(begin, end - begin);
}

std::string ValueOf(const std::string& html, const Attribute* attribute)
{
    if (!attribute) return "";
    bool fits = true;
    return Decoded(html.substr(attribute->begin, attribute->end - attribute->begin), Charset::OTHER,
                   fits);
}

std::string ReadHtmlFile(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    std::string html;
    bool failed = !file;
    if (file) {
        char block[8192];
        std::size_t count;
        while ((count = std::fread(block, 1, sizeof block, file)) > 0) html.append(block, count);
        failed = std::ferror(file) != 0;
        std::fclose(file);
    }
    if (!failed) return html;
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to read HTML file '%s'. Aborting.\n", path);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to read HTML file \"" << path << "\". Aborting.";
    throw error;
}

std::unique_ptr<CSMTPPart> TextPart(CSMTPEmail& mail, const std::string& text, const char* type,
                                    const std::string& charset)
{
    auto part = std::make_unique<CSMTPPart>(&mail);
    part->SetContent(WireText(text).c_str(), PART_TEXT_QP, 0);
    part->m_ContentType = type;
    if (!charset.empty()) part->m_Charset = charset;
    return part;
}

std::unique_ptr<CSMTPPart> MadeTextPart(CSMTPEmail& mail, const std::string& html,
                                        const std::string& charset)
{
    bool fits = true;
    std::string text = HtmlToText(html, charset, &fits);
    if (fits || HoldsHighByte(html)) return TextPart(mail, text, "text/plain", charset);
    // Plain ASCII that names characters the label lacks: UTF-8 holds them all.
    return TextPart(mail, HtmlToText(html, "utf-8"), "text/plain", "utf-8");
}

void AppendToChain(CSMTPEmail& mail, std::unique_ptr<CSMTPPart> part)
{
    std::unique_ptr<CSMTPPart>* end = &mail.m_Parts;
    while (*end) end = &(*end)->m_Next;
    *end = std::move(part);
}

}  // namespace

std::string DeclaredCharset(const std::string& html)
{
    std::string charset;
    Walk(
        html, [](std::size_t, std::size_t, bool) {},
        [&](std::size_t, const Tag& tag) {
            if (!charset.empty() || tag.closing || tag.name != "meta") return;
            if (const Attribute* declared = tag.Find("charset")) {
                charset = ValueOf(html, declared);
            } else if (Lower(ValueOf(html, tag.Find("http-equiv"))) == "content-type") {
                charset = CharsetOfContentType(ValueOf(html, tag.Find("content")));
            }
            if (!charset.empty() && !IsCharsetToken(charset)) charset = "-";
        });
    return charset == "-" ? "" : charset;
}

std::string EmbedImages(const std::string& html, const std::string& folder, const std::string& host,
                        std::vector<InlineImage>& images)
{
    std::string out;
    std::map<std::string, std::string> ids;
    Walk(
        html,
        [&](std::size_t begin, std::size_t end, bool) { out.append(html, begin, end - begin); },
        [&](std::size_t begin, const Tag& tag) {
            std::size_t copied = begin;
            for (const Attribute& attribute : tag.attributes) {
                if (attribute.name != "src" && attribute.name != "background") continue;
                const std::string file = LocalFile(ValueOf(html, &attribute));
                if (file.empty()) continue;
                std::string& id = ids[file];
                if (id.empty()) {
                    id = std::to_string(ids.size()) + ".quillex@" + host;
                    images.push_back({folder + file, id});
                }
                out.append(html, copied, attribute.begin - copied);
                out += "cid:" + id;
                copied = attribute.end;
            }
            out.append(html, copied, tag.end - copied);
        });
    return out;
}

std::string HtmlToText(const std::string& html, const std::string& charset, bool* fits)
{
    TextWriter writer(KindOf(charset));
    Walk(
        html,
        [&](std::size_t begin, std::size_t end, bool visible) {
            if (visible) writer.Visible(html.substr(begin, end - begin));
        },
        [&](std::size_t, const Tag& tag) { writer.OnTag(html, tag); });
    return writer.Finish(fits);
}

std::string WireText(const std::string& text)
{
    std::string out;
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (lineStart && c == '.') out += '.';
        lineStart = c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'));
        if (c == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += c;
        if (c == '\r' && lineStart) out += '\n';
    }
    return out;
}

void AddHtmlBody(CSMTPEmail& mail, const char* htmlPath, const std::string& text, bool textGiven,
                 const std::string& host)
{
    const std::string html = ReadHtmlFile(htmlPath);
    const std::string folder(htmlPath, platform::FileNamePart(htmlPath) - htmlPath);
    std::vector<InlineImage> images;
    const std::string embedded = EmbedImages(html, folder, host, images);
    for (const InlineImage& image : images) {
        FILE* file = std::fopen(image.path.c_str(), "rb");
        if (!file) FailToOpenIncludeFile(image.path);
        std::fclose(file);
    }
    std::string charset = DeclaredCharset(html);
    if (charset.empty() && html.compare(0, 3, "\xEF\xBB\xBF") == 0) charset = "utf-8";
    std::unique_ptr<CSMTPPart> htmlPart = TextPart(mail, embedded, "text/html", charset);
    charset = htmlPart->m_Charset;
    if (!images.empty()) {
        auto related = std::make_unique<CSMTPPart>(&mail);
        related->MakeMultipart("related");
        related->m_Children.push_back(std::move(htmlPart));
        for (const InlineImage& image : images) {
            auto part = std::make_unique<CSMTPPart>(&mail);
            part->SetContent(image.path.c_str(), PART_BINARY_FILE, 0);
            part->MakeInline(image.contentId);
            related->m_Children.push_back(std::move(part));
        }
        htmlPart = std::move(related);
    }
    auto alternative = std::make_unique<CSMTPPart>(&mail);
    alternative->MakeMultipart("alternative");
    if (textGiven) {
        auto textPart = std::make_unique<CSMTPPart>(&mail);
        textPart->SetContent(text.c_str(), PART_TEXT_AUTO, mail.m_OemToAnsi);
        alternative->m_Children.push_back(std::move(textPart));
    } else {
        alternative->m_Children.push_back(MadeTextPart(mail, html, charset));
    }
    alternative->m_Children.push_back(std::move(htmlPart));
    AppendToChain(mail, std::move(alternative));
}
