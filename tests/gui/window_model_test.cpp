#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Declared here rather than through <sanitizer/allocator_interface.h>, which
// GCC does not ship; both compilers' runtimes provide the function.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define TAVREL_HEAP_BY_SANITIZER 1
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"

namespace tavrel::gui {
namespace {

// Bytes the program has taken from the heap, or 0 where it cannot be told.
size_t heapInUse() {
#if defined(TAVREL_HEAP_BY_SANITIZER)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    return mallinfo2().uordblks;
#else
    return 0;
#endif
}

// A day of a shown window: its two clocks and its status line change every
// second. The window keeps what it shows, not what it showed.
TEST(WindowModel, ADayOfClockUpdatesLeavesMemoryFlat) {
    testing::resetDialogManager();
    const WindowHandle window = createDialog(kMainDialog, nullptr);
    auto second = [&](int s) {
        const std::string clock = std::to_string(10 + s % 14) + ":" + std::to_string(10 + s % 50) + ":" +
                                  std::to_string(10 + s % 50) + "\r\nMonday, 7 December 2026";
        setDlgItemText(window, kIdLocalClock, clock);
        setDlgItemText(window, kIdServerClock, clock);
        setDlgItemText(window, kIdStatusLine, std::to_string(s) + " Scs until AutoSync (TIME and SNTP Server Active)");
    };
    second(0);
    const size_t before = heapInUse();
    if (before == 0) GTEST_SKIP() << "no way to read the heap here";
    for (int s = 1; s <= 86'400; ++s) second(s);
    const size_t after = heapInUse();
    EXPECT_LT(after, before + 256 * 1024) << "grew by " << (after - before) << " bytes";
    testing::resetDialogManager();
}

}  // namespace
}  // namespace tavrel::gui
