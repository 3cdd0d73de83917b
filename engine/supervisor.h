// The supervisor's shared words.
#pragma once

#include "platform/thread.h"

namespace tavrel {

// Set by every thread that changes something the supervisor shows or waits
// for; the waiter resets it after each wait.
extern platform::ManualResetEvent wakeEvent;

}  // namespace tavrel
