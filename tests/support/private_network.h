#pragma once

#include <string>

namespace tavrel::test {

// Moves this process into network and mount namespaces of its own with
// loopback up, so tests may use the real TIME and SNTP ports and put files
// in place, and with names of its own: "localhost" is 127.0.0.1 and ::1
// and no other address has a name, whatever this machine's /etc/hosts
// says. Must run before any thread starts. False when the system refuses.
bool enterPrivateNetwork();

// Puts a file in place of another for this process (a bind mount in its
// own namespace), and takes it away again.
bool placeFileOver(const std::string& file, const std::string& over);
void removeFileOver(const std::string& over);

}  // namespace tavrel::test
