// Text from outside as it is written: control characters and bytes that
// are not UTF-8 escaped, everything else kept.
#include <gtest/gtest.h>

#include <string>

#include "storage/plain_text.h"

namespace tavrel {
namespace {

TEST(PlainText, ControlCharactersAreEscapedAndLettersKept) {
    EXPECT_EQ(plainText("time.example.test"), "time.example.test");
    EXPECT_EQ(plainText("Zürich ─ 東京 🕐, a\\b"), "Zürich ─ 東京 🕐, a\\b");
    EXPECT_EQ(plainText("\x1B]0;title\x07"), "\\x1B]0;title\\x07");
    EXPECT_EQ(plainText("\x1B[2J\r\n\t"), "\\x1B[2J\\x0D\\x0A\\x09");
    EXPECT_EQ(plainText(std::string("a\0b\x7F", 4)), "a\\x00b\\x7F");
#ifndef _WIN32
    // C1 as UTF-8 encodes it (CSI, then NEL); U+00A0 past it is a letter.
    EXPECT_EQ(plainText("\xC2\x9B" "2J\xC2\x85\xC2\xA0"), "\\xC2\\x9B2J\\xC2\\x85\xC2\xA0");
#endif
    // A text that spells an escape cannot pass for one.
    EXPECT_EQ(plainText("\\x1B"), "\\x5Cx1B");
    EXPECT_NE(plainText("\\x1B"), plainText("\x1B"));
}

#ifdef _WIN32
// Windows' texts are in the ANSI code page: every byte from 0x80 up is a
// letter or a sign there, and stays.
TEST(PlainText, AnsiLettersStayOnWindows) {
    EXPECT_EQ(plainText("caf\xE9 \x80 \x9B" "2J"), "caf\xE9 \x80 \x9B" "2J");
    EXPECT_EQ(plainText("caf\xE9\x1B[2J"), "caf\xE9\\x1B[2J");
}
#else

TEST(PlainText, BytesThatAreNotUtf8AreEscapedOneByOne) {
    EXPECT_EQ(plainText("caf\xE9"), "caf\\xE9");                      // Latin-1
    EXPECT_EQ(plainText("\xC0\xAF"), "\\xC0\\xAF");                   // overlong "/"
    EXPECT_EQ(plainText("\xED\xA0\x80"), "\\xED\\xA0\\x80");          // a surrogate
    EXPECT_EQ(plainText("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // past U+10FFFF
    EXPECT_EQ(plainText("\xE2\x82" "x"), "\\xE2\\x82x");              // cut short
    EXPECT_EQ(plainText("\x9B" "2J"), "\\x9B2J");                     // a lone 8-bit CSI
}
#endif

}  // namespace
}  // namespace tavrel
