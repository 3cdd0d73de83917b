// The main window: the program's face and its message hub. Every user
// action arrives here as a numbered command; the window owns the deferred
// initialisation (timer 5) and the AutoTimer (timer 10), and carries out
// the program's end.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/dialog.h"

namespace tavrel {

inline constexpr int kCommandCheck = 1;
inline constexpr int kCommandExit = 2;
inline constexpr int kCommandCorrect = 3;
inline constexpr int kCommandAbout = 5;
inline constexpr int kCommandHelp = 6;
inline constexpr int kCommandOptions = 101;
inline constexpr int kCommandTimeZone = 1001;
inline constexpr int kDeferredInitTimerId = 5;
inline constexpr uint32_t kDeferredInitMs = 500;

// The main window's procedure.
intptr_t mainWindowProcedure(platform::WindowHandle window, const platform::WindowMessage& message);

// Builds the main window and shows it (minimised when startMinimised).
platform::WindowHandle createMainWindow();

// The window's deferred initialisation (timer 5), in its fixed order.
void deferredInitialisation(platform::WindowHandle window);

}  // namespace tavrel
