#pragma once

#include <string>

namespace tavrel::test {

// Moves this process into network and mount namespaces of its own with
// loopback up, so tests may use the real TIME and SNTP ports and put files
// in place. Must run before any thread starts. False when the system
// refuses.
bool enterPrivateNetwork();

// Puts a file in place of another for this process (a bind mount in its
// own namespace), and takes it away again.
bool placeFileOver(const std::string& file, const std::string& over);
void removeFileOver(const std::string& over);

}  // namespace tavrel::test
