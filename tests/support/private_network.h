#pragma once

namespace tavrel::test {

// Moves this process into a network namespace of its own with loopback up,
// so tests may use the real TIME and SNTP ports. Must run before any thread
// starts. False when the system refuses.
bool enterPrivateNetwork();

}  // namespace tavrel::test
