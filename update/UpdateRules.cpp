#include "update/UpdateRules.h"

#include "base/Base64.h"
#include "base/Text.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace sorvane::update {
namespace {

struct Token {
    bool numeric = false;
    std::string text; // digits without leading zeros, or lower-case text
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSeparator(char c) { return c == '.' || c == '-' || c == '_' || c == '+' || c == ' ' || c == '\t'; }

std::vector<Token> tokens(std::string_view version) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < version.size()) {
        const char c = version[i];
        if (isSeparator(c)) {
            ++i;
            continue;
        }
        size_t j = i;
        const bool numeric = isDigit(c);
        while (j < version.size() && !isSeparator(version[j]) && isDigit(version[j]) == numeric)
            ++j;
        Token token{numeric, std::string(version.substr(i, j - i))};
        if (numeric) {
            const auto nonZero = token.text.find_first_not_of('0');
            token.text = nonZero == std::string::npos ? "0" : token.text.substr(nonZero);
        } else {
            token.text = asciiLowercase(token.text);
        }
        out.push_back(std::move(token));
        i = j;
    }
    return out;
}

int compareTokens(const Token& a, const Token& b) {
    if (a.numeric != b.numeric)
        return a.numeric ? 1 : -1;
    if (a.numeric && a.text.size() != b.text.size())
        return a.text.size() < b.text.size() ? -1 : 1;
    const int c = a.text.compare(b.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// How the rest of a longer version weighs against nothing: positive when it
// holds a non-zero number before any text, negative when text comes first.
int restAgainstNothing(const std::vector<Token>& t, size_t from) {
    for (size_t i = from; i < t.size(); ++i) {
        if (!t[i].numeric)
            return -1;
        if (t[i].text != "0")
            return 1;
    }
    return 0;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the entity starting at html[i] == '&'; returns the characters read,
// or 0 when it is not an entity we know (the '&' is then kept as it is).
size_t decodeEntity(std::string_view html, size_t i, std::string& out) {
    const size_t end = html.find(';', i);
    if (end == std::string_view::npos || end - i > 10)
        return 0;
    const std::string name = asciiLowercase(html.substr(i + 1, end - i - 1));
    if (name.empty())
        return 0;
    if (name[0] == '#') {
        uint32_t cp = 0;
        const bool hex = name.size() > 1 && name[1] == 'x';
        const size_t start = hex ? 2 : 1;
        if (start >= name.size())
            return 0;
        for (size_t k = start; k < name.size(); ++k) {
            const char c = name[k];
            int digit;
            if (isDigit(c))
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else
                return 0;
            cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
            if (cp > 0x10FFFF)
                return 0;
        }
        appendUtf8(out, cp);
        return end - i + 1;
    }
    static const std::array<std::pair<const char*, const char*>, 9> named{{
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"},
        {"nbsp", " "}, {"mdash", "\u2014"}, {"ndash", "\u2013"}, {"hellip", "\u2026"},
    }};
    for (const auto& [key, value] : named) {
        if (name == key) {
            out += value;
            return end - i + 1;
        }
    }
    return 0;
}

std::string tagName(std::string_view tag) {
    size_t i = 0;
    if (i < tag.size() && tag[i] == '/')
        ++i;
    size_t j = i;
    while (j < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[j]))))
        ++j;
    return asciiLowercase(tag.substr(i, j - i));
}

} // namespace

int compareVersions(std::string_view a, std::string_view b) {
    const auto ta = tokens(a);
    const auto tb = tokens(b);
    const size_t common = std::min(ta.size(), tb.size());
    for (size_t i = 0; i < common; ++i)
        if (const int c = compareTokens(ta[i], tb[i]); c != 0)
            return c;
    if (ta.size() > common)
        return restAgainstNothing(ta, common);
    if (tb.size() > common)
        return -restAgainstNothing(tb, common);
    return 0;
}

std::optional<AppcastItem> chooseUpdate(const std::vector<AppcastItem>& items, std::string_view current,
                                        std::string_view skipped) {
    const AppcastItem* best = nullptr;
    for (const auto& item : items) {
        if (tokens(item.version).empty())
            continue;
        if (compareVersions(item.version, current) <= 0)
            continue;
        if (!skipped.empty() && compareVersions(item.version, skipped) == 0)
            continue;
        if (!best || compareVersions(item.version, best->version) > 0)
            best = &item;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

bool isAutomaticCheckDue(std::optional<int64_t> lastCheckSeconds, int64_t nowSeconds) {
    if (!lastCheckSeconds)
        return true;
    if (*lastCheckSeconds > nowSeconds)
        return true;
    return nowSeconds - *lastCheckSeconds >= kSecondsBetweenAutomaticChecks;
}

std::string plainTextReleaseNotes(std::string_view html) {
    std::string out;
    size_t i = 0;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '<') {
            if (html.substr(i, 4) == "<!--") {
                const size_t end = html.find("-->", i + 4);
                i = end == std::string_view::npos ? html.size() : end + 3;
                continue;
            }
            const size_t end = html.find('>', i + 1);
            if (end == std::string_view::npos)
                break; // an unfinished tag: drop the rest
            const std::string_view tag = html.substr(i + 1, end - i - 1);
            const std::string name = tagName(tag);
            const bool closing = !tag.empty() && tag[0] == '/';
            i = end + 1;
            if (!closing && (name == "script" || name == "style")) {
                const std::string close = "</" + name;
                size_t k = i;
                while (k < html.size() && asciiLowercase(html.substr(k, close.size())) != close)
                    ++k;
                const size_t after = html.find('>', k);
                i = after == std::string_view::npos ? html.size() : after + 1;
                continue;
            }
            if (name == "br" || name == "p" || name == "div" || name == "ul" || name == "ol" ||
                name == "tr" || (name.size() == 2 && name[0] == 'h' && isDigit(name[1]))) {
                out += '\n';
                if (name == "p" && closing)
                    out += '\n';
            } else if (name == "li" && !closing) {
                out += "\n\u2022 ";
            }
            continue;
        }
        if (c == '&') {
            if (const size_t used = decodeEntity(html, i, out)) {
                i += used;
                continue;
            }
        }
        out += (c == '\r') ? '\n' : c;
        ++i;
    }
    // Each line trimmed of trailing blanks, at most one blank line in a row,
    // none at the start or the end.
    std::string tidy;
    size_t blankRun = 0;
    size_t start = 0;
    while (start <= out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos)
            nl = out.size();
        std::string line = out.substr(start, nl - start);
        const auto first = line.find_first_not_of(" \t");
        const auto last = line.find_last_not_of(" \t");
        line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
        if (line.empty()) {
            ++blankRun;
        } else {
            if (!tidy.empty())
                tidy += blankRun > 0 ? "\n\n" : "\n";
            tidy += line;
            blankRun = 0;
        }
        start = nl + 1;
    }
    return tidy;
}

std::optional<Bytes> decodeBase64(std::string_view text) {
    std::string clean;
    for (const char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
            clean += c;
    if (clean.empty() || clean.size() % 4 != 0)
        return std::nullopt;
    // At most two '=' and only at the end: a third, or one in the middle, is
    // left among the digits and refused there.
    std::string_view digits = clean;
    for (int i = 0; i < 2 && !digits.empty() && digits.back() == '='; ++i)
        digits.remove_suffix(1);
    return decodeBase64Digits(digits, Base64Alphabet::standard, true);
}

} // namespace sorvane::update
