// The line rules shared by "Strings.txt" and "ServFile.txt": a CR ends a
// line, LF is skipped wherever it stands, a "#" anywhere makes the line a
// comment (the "#" itself is not kept), and text after the last CR is
// never a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavrel {

class TextLineSplitter {
public:
    // Longest text kept of a line; longer lines are marked over-long.
    static constexpr size_t kMaxLineLength = 599;

    // Takes one byte. Returns true when it ended a line; the line's text,
    // length and marks then stay readable until the next call.
    bool feed(uint8_t byte) {
        if (ended_) {
            length_ = 0;
            kept_ = 0;
            comment_ = false;
            ended_ = false;
        }
        switch (byte) {
            case '\n': return false;
            case '\r': ended_ = true; return true;
            case '#': comment_ = true; return false;
            default:
                if (kept_ < kMaxLineLength) text_[kept_++] = static_cast<char>(byte);
                ++length_;
                return false;
        }
    }

    // The line's text, cut at kMaxLineLength characters.
    std::string_view text() const { return std::string_view(text_, kept_); }
    // Characters the line really had (not counting CR, LF and "#").
    size_t length() const { return length_; }
    bool comment() const { return comment_; }
    bool overLong() const { return length_ > kMaxLineLength; }

private:
    char text_[kMaxLineLength];
    size_t kept_ = 0;
    size_t length_ = 0;
    bool comment_ = false;
    bool ended_ = false;
};

}  // namespace tavrel
