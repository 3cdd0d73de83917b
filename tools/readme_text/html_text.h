// An HTML page as plain text, for reading with a pager in a terminal: the
// build renders the read-me with it, so that the text Help shows there
// says what ReadMe.htm says.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrel {

// The page's text in lines of at most `width` columns (a word longer than
// that stands alone on its line), each ending "\n":
// - the head (title, style, meta), scripts, styles, comments, the doctype
//   and every tag are dropped;
// - a heading stands between blank lines, h1 underlined with '=' and h2
//   with '-';
// - paragraphs are wrapped, a blank line between them; <br> breaks the
//   line, <pre> keeps its lines as they are;
// - list items start with "* " (in <ol> "1. ", "2. ", ...), a nested list
//   and a block quote further in;
// - a link reads "text <address>", or only its text when it leads within
//   the page or its text is its address;
// - entities are decoded: &amp; &lt; &gt; &quot; &apos;, &nbsp; (a space
//   that never breaks the line), numeric ones (&#8211; &#x2013;) and a few
//   typographic ones. Dashes, curly quotes and the ellipsis become their
//   ASCII forms, so the text reads alike in a terminal of any locale; other
//   characters are written in UTF-8. An unknown entity stays as written.
std::string htmlToText(std::string_view html, size_t width = 78);

}  // namespace tavrel
