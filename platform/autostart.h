// Start at logon (on Windows the per-user Run key; on Linux an XDG
// autostart entry under $XDG_CONFIG_HOME/autostart).
#pragma once

#include <string>

namespace tavrel::platform {

// Starts `program` with `arguments` at the user's logon, in a terminal when
// it shows a window there. Failures are ignored.
void setLogonStart(const std::string& name, const std::string& program, const std::string& arguments,
                   bool inTerminal);
// No start at logon any more (a missing entry is no error).
void removeLogonStart(const std::string& name);
// The entry's path, for checks.
std::string logonStartPath(const std::string& name);

}  // namespace tavrel::platform
