#include "tools/readme_text/html_text.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace tavrel {
namespace {

// U+00A0 in UTF-8: kept inside a word while wrapping, written as a space.
constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
// How much further in a block quote or a definition is.
constexpr size_t kIndentStep = 4;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isNameChar(char c) { return isLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == ':'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lower(c);
    return out;
}

// The columns a UTF-8 text takes: one a character.
size_t columns(std::string_view text) {
    size_t n = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    }
    return n;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A character an entity stands for, as the text writes it.
void appendCharacter(std::string& out, uint32_t c) {
    switch (c) {
        case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2212: out += '-'; return;
        case 0x2014: case 0x2015: out += "--"; return;
        case 0x2018: case 0x2019: case 0x201A: out += '\''; return;
        case 0x201C: case 0x201D: case 0x201E: out += '"'; return;
        case 0x2026: out += "..."; return;
        default: appendUtf8(out, c);
    }
}

struct NamedEntity {
    std::string_view name;
    uint32_t character;
};

constexpr NamedEntity kNamedEntities[] = {
    {"amp", '&'},        {"lt", '<'},         {"gt", '>'},        {"quot", '"'},      {"apos", '\''},
    {"nbsp", 0xA0},      {"ndash", 0x2013},   {"mdash", 0x2014},  {"lsquo", 0x2018},  {"rsquo", 0x2019},
    {"ldquo", 0x201C},   {"rdquo", 0x201D},   {"hellip", 0x2026}, {"copy", 0xA9},     {"reg", 0xAE},
    {"deg", 0xB0},       {"middot", 0xB7},    {"times", 0xD7},    {"laquo", 0xAB},    {"raquo", 0xBB},
};

// The character of an entity's name ("amp", "#38", "#x26"); none for a
// name it does not know or a number that is no character.
std::optional<uint32_t> entityCharacter(std::string_view name) {
    if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t value = 0;
        for (char c : digits) {
            uint32_t digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint32_t>(c - '0');
            } else if (hex && lower(c) >= 'a' && lower(c) <= 'f') {
                digit = static_cast<uint32_t>(lower(c) - 'a' + 10);
            } else {
                return std::nullopt;
            }
            value = value * (hex ? 16U : 10U) + digit;
        }
        if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
        return value;
    }
    for (const NamedEntity& entity : kNamedEntities) {
        if (entity.name == name) return entity.character;
    }
    return std::nullopt;
}

std::string decodeEntities(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        const size_t end = text.find(';', i + 1);
        if (end != std::string_view::npos && end - i <= 32) {
            if (const std::optional<uint32_t> c = entityCharacter(text.substr(i + 1, end - i - 1))) {
                appendCharacter(out, *c);
                i = end + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

struct Tag {
    std::string name;  // lower case
    bool closing = false;
    std::string href;  // entities decoded
    std::string alt;
};

// Reads a tag whose name starts at `at` (after "<" or "</"); where the
// text after it starts.
size_t readTag(std::string_view html, size_t at, Tag& tag) {
    size_t i = at;
    while (i < html.size() && isNameChar(html[i])) ++i;
    tag.name = lowered(html.substr(at, i - at));
    while (i < html.size() && html[i] != '>') {
        if (isSpace(html[i]) || html[i] == '/') {
            ++i;
            continue;
        }
        const size_t nameStart = i;
        while (i < html.size() && !isSpace(html[i]) && html[i] != '=' && html[i] != '>' && html[i] != '/') ++i;
        const std::string name = lowered(html.substr(nameStart, i - nameStart));
        while (i < html.size() && isSpace(html[i])) ++i;
        if (i >= html.size() || html[i] != '=') continue;
        ++i;
        while (i < html.size() && isSpace(html[i])) ++i;
        size_t valueStart = i;
        size_t valueEnd = i;
        if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
            const char quote = html[i];
            valueStart = i + 1;
            valueEnd = html.find(quote, valueStart);
            if (valueEnd == std::string_view::npos) valueEnd = html.size();
            i = valueEnd < html.size() ? valueEnd + 1 : valueEnd;
        } else {
            while (i < html.size() && !isSpace(html[i]) && html[i] != '>') ++i;
            valueEnd = i;
        }
        const std::string value = decodeEntities(html.substr(valueStart, valueEnd - valueStart));
        if (name == "href") tag.href = value;
        if (name == "alt") tag.alt = value;
    }
    return i < html.size() ? i + 1 : i;
}

bool isHeading(const std::string& name) {
    return name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6';
}

bool isOneOf(const std::string& name, std::initializer_list<std::string_view> names) {
    for (std::string_view n : names) {
        if (name == n) return true;
    }
    return false;
}

// Lays the page's text out in lines as its tags come.
class Layout {
public:
    explicit Layout(size_t width) : width_(width) {}

    void text(std::string_view text) {
        if (linkDepth_ > 0) linkText_ += text;
        if (preDepth_ > 0) {
            pre_ += text;
        } else {
            segments_.back() += text;
        }
    }

    void tag(const Tag& tag) {
        const std::string& name = tag.name;
        if (isHeading(name)) {
            paragraphBreak();
            heading_ = tag.closing ? 0 : name[1] - '0';
        } else if (name == "p" || name == "table" || name == "hr" || name == "figure") {
            paragraphBreak();
        } else if (name == "ul" || name == "ol") {
            list(tag.closing, name == "ol");
        } else if (name == "li") {
            item(tag.closing);
        } else if (name == "blockquote" || name == "dd") {
            indented(tag.closing, name == "blockquote");
        } else if (name == "pre") {
            preformatted(tag.closing);
        } else if (name == "br") {
            if (preDepth_ > 0) {
                pre_ += '\n';
            } else {
                segments_.emplace_back();
            }
        } else if (isOneOf(name, {"div", "dl", "dt", "tr", "caption", "figcaption", "address", "section", "article",
                                  "header", "footer", "nav", "main", "aside", "form", "fieldset", "body", "html"})) {
            flush();
        } else if (name == "td" || name == "th") {
            text(" ");
        } else if (name == "img") {
            if (!tag.alt.empty()) text(" " + tag.alt + " ");
        } else if (name == "a") {
            link(tag);
        }
    }

    std::string finish() {
        flush();
        if (preDepth_ > 0) {
            preDepth_ = 1;
            preformatted(true);
        }
        while (out_.ends_with("\n\n")) out_.pop_back();
        return std::move(out_);
    }

private:
    struct List {
        bool ordered;
        int next;
        size_t indent;  // the text's indent around the list
    };

    // A block that stands between blank lines begins or ends.
    void paragraphBreak() {
        flush();
        blankLineOwed_ = true;
    }

    void list(bool closing, bool ordered) {
        flush();
        if (closing) {
            if (lists_.empty()) return;
            indent_ = lists_.back().indent;
            lists_.pop_back();
            marker_.clear();
        } else {
            lists_.push_back(List{ordered, 1, indent_});
        }
        // A list within an item follows its item's line; the outer list
        // stands between blank lines.
        if (lists_.empty() || (!closing && lists_.size() == 1)) blankLineOwed_ = true;
    }

    void item(bool closing) {
        flush();
        if (closing) return;
        const size_t base = lists_.empty() ? indent_ : lists_.back().indent;
        List* list = lists_.empty() ? nullptr : &lists_.back();
        marker_ = list != nullptr && list->ordered ? std::to_string(list->next++) + ". " : "* ";
        markerColumn_ = base + 2;
        indent_ = markerColumn_ + marker_.size();
    }

    // A block quote or a definition, 4 columns further in; a quote stands
    // between blank lines.
    void indented(bool closing, bool blankLines) {
        flush();
        if (blankLines) blankLineOwed_ = true;
        if (closing) {
            if (indents_.empty()) return;
            indent_ = indents_.back();
            indents_.pop_back();
        } else {
            indents_.push_back(indent_);
            indent_ += kIndentStep;
        }
    }

    void preformatted(bool closing) {
        paragraphBreak();
        if (!closing) {
            if (preDepth_++ == 0) pre_.clear();
            return;
        }
        if (preDepth_ == 0 || --preDepth_ > 0) return;
        std::string lines;
        for (char c : pre_) {
            if (c != '\r') lines += c;
        }
        // As in HTML, a line break right after <pre> is not the text's.
        if (!lines.empty() && lines.front() == '\n') lines.erase(0, 1);
        while (!lines.empty() && isSpace(lines.back())) lines.pop_back();
        size_t start = 0;
        while (start < lines.size()) {
            size_t end = lines.find('\n', start);
            if (end == std::string::npos) end = lines.size();
            emit(std::string(indent_, ' ') + lines.substr(start, end - start), true);
            start = end + 1;
        }
        pre_.clear();
    }

    void link(const Tag& tag) {
        if (!tag.closing) {
            if (linkDepth_++ == 0) {
                href_ = tag.href;
                linkText_.clear();
            }
            return;
        }
        if (linkDepth_ == 0 || --linkDepth_ > 0) return;
        std::string shown;
        for (const std::string& word : words(linkText_)) shown += (shown.empty() ? "" : " ") + word;
        const bool withinPage = href_.empty() || href_.front() == '#' || lowered(href_).rfind("javascript:", 0) == 0;
        if (!withinPage && shown != href_ && "mailto:" + shown != href_) text(" <" + href_ + ">");
    }

    static std::vector<std::string> words(std::string_view text) {
        std::vector<std::string> out;
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && isSpace(text[i])) ++i;
            const size_t start = i;
            while (i < text.size() && !isSpace(text[i])) ++i;
            if (i > start) out.emplace_back(text.substr(start, i - start));
        }
        return out;
    }

    // Writes a line, after the blank line owed before it; the no-break
    // spaces become spaces, and the line ends without blanks. A line that
    // comes out blank (a <br> after a <br>, a word of no-break spaces)
    // never starts the text, and outside <pre> never makes a second blank
    // line.
    void emit(std::string line, bool verbatim = false) {
        for (size_t at = line.find(kNoBreakSpace); at != std::string::npos; at = line.find(kNoBreakSpace, at + 1)) {
            line.replace(at, kNoBreakSpace.size(), " ");
        }
        while (!line.empty() && isSpace(line.back())) line.pop_back();
        const bool afterBlank = out_.empty() || out_.ends_with("\n\n");
        if (line.empty()) {
            // It stands for the blank line owed, if any.
            if (!out_.empty() && (verbatim || !afterBlank)) out_ += '\n';
            blankLineOwed_ = false;
            return;
        }
        if (blankLineOwed_ && !afterBlank) out_ += '\n';
        blankLineOwed_ = false;
        out_ += line;
        out_ += '\n';
    }

    // Lays out the text gathered since the last block began: each segment
    // (a <br> ends one) wrapped into lines, a heading underlined.
    void flush() {
        std::vector<std::vector<std::string>> lines;
        for (const std::string& segment : segments_) lines.push_back(words(segment));
        segments_.assign(1, std::string());
        while (!lines.empty() && lines.back().empty()) lines.pop_back();
        while (!lines.empty() && lines.front().empty()) lines.erase(lines.begin());
        if (lines.empty()) return;

        std::string first = std::string(indent_, ' ');
        if (!marker_.empty()) {
            first = std::string(markerColumn_, ' ') + marker_;
            marker_.clear();
        }
        const std::string rest(indent_, ' ');
        std::vector<std::string> laidOut;
        std::string line = first;
        size_t used = columns(line);
        bool lineHasWord = false;
        for (size_t s = 0; s < lines.size(); ++s) {
            if (s > 0) {
                laidOut.push_back(line);
                line = rest;
                used = columns(line);
                lineHasWord = false;
            }
            for (const std::string& word : lines[s]) {
                const size_t wide = columns(word);
                if (lineHasWord && used + 1 + wide > width_) {
                    laidOut.push_back(line);
                    line = rest;
                    used = columns(line);
                    lineHasWord = false;
                }
                if (lineHasWord) {
                    line += ' ';
                    ++used;
                }
                line += word;
                used += wide;
                lineHasWord = true;
            }
        }
        laidOut.push_back(line);

        size_t widest = 0;
        for (const std::string& l : laidOut) {
            emit(l);
            widest = std::max(widest, columns(l) - std::min(l.find_first_not_of(' '), l.size()));
        }
        if (heading_ == 1 || heading_ == 2) emit(rest + std::string(widest, heading_ == 1 ? '=' : '-'));
    }

    size_t width_;
    std::string out_;
    bool blankLineOwed_ = false;
    // The text since the last block began, in segments a <br> ends.
    std::vector<std::string> segments_ = std::vector<std::string>(1);
    int heading_ = 0;
    size_t indent_ = 0;
    std::vector<size_t> indents_;
    std::vector<List> lists_;
    std::string marker_;  // the bullet or number the next line starts with
    size_t markerColumn_ = 0;
    int preDepth_ = 0;
    std::string pre_;
    int linkDepth_ = 0;
    std::string href_;
    std::string linkText_;
};

// Where the raw text of a <script>, <style> or <title> opened before `from`
// ends: at its closing tag, or at the end of the page.
size_t rawTextEnd(std::string_view html, const std::string& lowerHtml, size_t from, const std::string& name) {
    const std::string closing = "</" + name;
    for (size_t at = lowerHtml.find(closing, from); at != std::string::npos; at = lowerHtml.find(closing, at + 1)) {
        const size_t after = at + closing.size();
        if (after >= html.size() || !isNameChar(html[after])) return at;
    }
    return html.size();
}

}  // namespace

std::string htmlToText(std::string_view html, size_t width) {
    const std::string lowerHtml = lowered(html);
    Layout layout(width);
    bool inHead = false;
    std::string run;  // text since the last tag
    const auto endRun = [&] {
        if (!inHead && !run.empty()) layout.text(decodeEntities(run));
        run.clear();
    };
    size_t i = 0;
    while (i < html.size()) {
        if (html[i] != '<') {
            run += html[i++];
            continue;
        }
        const std::string_view rest = html.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            endRun();
            const size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '?')) {
            endRun();
            const size_t end = html.find('>', i);
            i = end == std::string_view::npos ? html.size() : end + 1;
            continue;
        }
        Tag tag;
        tag.closing = rest.size() > 1 && rest[1] == '/';
        const size_t nameAt = i + (tag.closing ? 2 : 1);
        if (nameAt >= html.size() || !isLetter(html[nameAt])) {
            run += html[i++];  // a "<" that starts no tag is text
            continue;
        }
        endRun();
        i = readTag(html, nameAt, tag);
        if (tag.name == "head") {
            inHead = !tag.closing;
        } else if (tag.name == "body" && !tag.closing) {
            inHead = false;
        }
        if (!tag.closing && (tag.name == "script" || tag.name == "style" || tag.name == "title")) {
            i = rawTextEnd(html, lowerHtml, i, tag.name);
            continue;
        }
        if (!inHead) layout.tag(tag);
    }
    endRun();
    return layout.finish();
}

}  // namespace tavrel
