// Text from outside (a server's name, an address's name, an NTS-KE
// record's name, a reason a server gave) as the log, the History, standard
// error, the journal and the service's status line write it: a name that
// holds escape sequences must not clear a terminal, set its title or ring
// its bell where one of them is shown.
#pragma once

#include <string>
#include <string_view>

namespace tavrel {

// The text with every control character written as "\xNN" (two upper-case
// hex digits of the byte): the bytes 0x00-0x1F and 0x7F, and U+0080-U+009F
// as UTF-8 encodes them (each of the two bytes so). A byte that is not part
// of valid UTF-8 is written so too; a backslash followed by 'x' is written
// "\x5C", so no escape is ever mistaken for the bytes it stands for. All
// other text, valid UTF-8 letters included, is kept as it is. On Windows,
// whose texts are in the ANSI code page, every byte from 0x80 up is kept.
std::string plainText(std::string_view text);

}  // namespace tavrel
