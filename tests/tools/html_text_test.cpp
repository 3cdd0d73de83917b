#include <gtest/gtest.h>

#include <string>

#include "tools/readme_text/html_text.h"

namespace tavrel {
namespace {

TEST(HtmlText, DecodesEntities) {
    EXPECT_EQ(htmlToText("<p>Fish &amp; chips &lt;b&gt; &quot;q&quot; &apos;s &#65;&#x42;&#X43; caf&#233; "
                         "a &ndash; b &bogus; &#0; 5 &amp c</p>"),
              "Fish & chips <b> \"q\" 's ABC caf\xC3\xA9 a - b &bogus; &#0; 5 &amp c\n");
}

TEST(HtmlText, DropsTheHeadScriptsStylesCommentsAndTags) {
    EXPECT_EQ(htmlToText("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Title</title>"
                         "<style>p { color: red }</style></head>\n<body>"
                         "<script>if (a < b) document.write(\"<p>no</p>\");</script>"
                         "<!-- a <p>comment</p> --><p class='x>y'><b>Shown</b> <code>here</code></p>"
                         "<STYLE>p {}</STYLE></body></html>\n"),
              "Shown here\n");
}

TEST(HtmlText, SetsHeadingsApartBetweenParagraphs) {
    EXPECT_EQ(htmlToText("<h1>Top &ndash; line</h1><p>One\n  more.</p><h2>Sub</h2><p>Two.</p>"
                         "<h3>Small</h3><p>Three.</p>"),
              "Top - line\n==========\n\nOne more.\n\nSub\n---\n\nTwo.\n\nSmall\n\nThree.\n");
}

TEST(HtmlText, BulletsListItemsAndNumbersOrderedOnes) {
    EXPECT_EQ(htmlToText("<p>Before</p>\n<ul>\n<li>a <b>b</b></li>\n<li>c<ol><li>d</li><li>e</li></ol></li>\n</ul>"
                         "<p>After</p>"),
              "Before\n\n  * a b\n  * c\n      1. d\n      2. e\n\nAfter\n");
}

TEST(HtmlText, WrapsParagraphsAndItemsToTheWidth) {
    std::string words;
    for (int i = 0; i < 40; ++i) words += "abc ";
    std::string line19;
    for (int i = 0; i < 19; ++i) line19 += i == 0 ? "abc" : " abc";
    // 19 words take 75 columns; a 20th would make 79.
    EXPECT_EQ(htmlToText("<p>" + words + "</p>"), line19 + "\n" + line19 + "\nabc abc\n");
    EXPECT_EQ(htmlToText("<ul><li>aaaa bbbb cccc dddd</li></ul>", 14), "  * aaaa bbbb\n    cccc dddd\n");
    EXPECT_EQ(htmlToText("<p>aaaa bbbb&nbsp;cccc</p>", 10), "aaaa\nbbbb cccc\n");
    EXPECT_EQ(htmlToText("<p>a xxxxxxxxxxxxxxxxxx b</p>", 10), "a\nxxxxxxxxxxxxxxxxxx\nb\n");
    EXPECT_EQ(htmlToText("<p>one<br>two</p><pre>\n  keep   this\n    and this\n</pre><p>end</p>", 10),
              "one\ntwo\n\n  keep   this\n    and this\n\nend\n");
}

TEST(HtmlText, ShowsWhereALinkLeads) {
    EXPECT_EQ(htmlToText("<p>See <a href=\"https://example.org/a?b=1&amp;c=2\">the site</a>, "
                         "<a href=\"#top\">above</a> and <a href='https://example.org/'>https://example.org/</a>.</p>"),
              "See the site <https://example.org/a?b=1&c=2>, above and https://example.org/.\n");
}

}  // namespace
}  // namespace tavrel
