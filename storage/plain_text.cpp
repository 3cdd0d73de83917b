#include "storage/plain_text.h"

#include <cstddef>
#include <cstdint>

namespace tavrel {
namespace {

// Windows' texts are in its ANSI code page, where every byte from 0x80 up
// is a letter or a sign (a user's "é" in the server list is 0xE9): there
// only the controls below 0x20 and DEL are escaped. Linux texts are UTF-8,
// where a terminal takes the C1 controls and stray bytes as commands too.
#ifdef _WIN32
constexpr bool kAnsiCodePage = true;
#else
constexpr bool kAnsiCodePage = false;
#endif
constexpr uint8_t kDelete = 0x7F;
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kContinuationMask = 0xC0;
constexpr uint8_t kContinuation = 0x80;
// UTF-8's lead byte of U+0080-U+00BF; its C1 controls are U+0080-U+009F.
constexpr uint8_t kC1Lead = 0xC2;
constexpr uint8_t kLastC1Trail = 0x9F;

void escapeByte(uint8_t byte, std::string& out) {
    constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

bool continuation(uint8_t byte) { return (byte & kContinuationMask) == kContinuation; }

// The length of the valid UTF-8 sequence of two or more bytes that starts
// at `at`, or 0: no overlong form, no surrogate, nothing past U+10FFFF.
size_t sequenceLength(std::string_view text, size_t at) {
    const auto byte = [text](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint8_t low = kContinuation;  // the range of the second byte
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // the surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!continuation(byte(at + i))) return 0;
    }
    return length;
}

}  // namespace

std::string plainText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte < kFirstPrintable || byte == kDelete) {
            escapeByte(byte, out);
            ++i;
        } else if (byte == '\\' && i + 1 < text.size() && text[i + 1] == 'x') {
            escapeByte(byte, out);
            ++i;
        } else if (byte < kContinuation || kAnsiCodePage) {
            out += text[i];
            ++i;
        } else if (const size_t length = sequenceLength(text, i); length == 0) {
            escapeByte(byte, out);  // not UTF-8: the byte alone
            ++i;
        } else if (byte == kC1Lead && static_cast<uint8_t>(text[i + 1]) <= kLastC1Trail) {
            escapeByte(byte, out);
            escapeByte(static_cast<uint8_t>(text[i + 1]), out);
            i += 2;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace tavrel
