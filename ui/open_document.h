// Opening one of the program's files for the user: the server list to
// edit, the log and the read-me to read.
#pragma once

#include <string>

#include "gui/dialog.h"

namespace tavrel {

enum class DocumentUse { Edit, Read };

// With the desktop's opener where there is a desktop; otherwise in the
// terminal the window is shown in, with the user's editor or pager (the
// window gives the terminal over until it ends). When the file does not
// exist, a message over `owner` says so, followed by `missingHint`, and
// nothing is started; when nothing can open the file, a message says that.
void openDocument(gui::WindowHandle owner, const std::string& path, DocumentUse use,
                  const std::string& missingHint = std::string());

// The read-me among the program's own files: ReadMe.htm with the desktop's
// opener, and in a terminal its text rendering ReadMe.txt (made from it
// when the program is built) with the pager, or the HTML where the text is
// missing.
void openReadMe(gui::WindowHandle owner);

}  // namespace tavrel
