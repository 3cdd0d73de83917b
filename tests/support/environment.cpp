#include "tests/support/environment.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tavrel::test {

bool runningUnderWine() {
#ifdef _WIN32
    // Wine's ntdll has an export that Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace tavrel::test
