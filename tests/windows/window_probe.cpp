// Looks at another program's windows from inside the same Windows session,
// for the tests that drive Tavrel.exe under Wine with xdotool: where a
// window and its controls are, and what they show.
//
//   window_probe find TITLE SECONDS [TEXT]
//                                        waits for a shown top-level window whose
//                                        caption or class is TITLE (and that shows a
//                                        control reading TEXT); prints its rect
//   window_probe gone TITLE SECONDS [TEXT]
//                                        waits until no such window shows
//   window_probe enabled TITLE SECONDS   waits until such a window takes input (a
//                                        modal dialog's owner is disabled until the
//                                        dialog has gone)
//   window_probe controls TITLE          one line a control: id, class, rect, text
//   window_probe center TITLE ID         the control's centre in screen pixels ("x y")
//   window_probe text TITLE ID           the control's text
//   window_probe focus TITLE             the id of the control with the keyboard focus in
//                                        the window's thread (an address control's for
//                                        one of its fields); 0 for none
//   window_probe wait-text TITLE ID NOT SECONDS
//                                        waits until the control's text is not NOT
//   window_probe hold SECONDS            only waits: Wine ends its session (and the
//                                        services in it) when no program runs
//   window_probe timechange SECONDS      shows a window titled "Time change listener"
//                                        and waits for a WM_TIMECHANGE to reach it
//   window_probe send TITLE resume|timechange
//                                        sends the window what Windows tells every
//                                        top-level window after a wake
//                                        (WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC) or
//                                        after a change of the clock (WM_TIMECHANGE)
//
// With PROBE_DESKTOP set, the probe looks at the windows of that desktop
// (Wine's "explorer /desktop=NAME" gives its programs a desktop of that
// name; programs started otherwise are on the default one); it waits up to
// a minute for the desktop to appear.
//
// Exit status 0 on success, 1 when the window or control is not there.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string textOf(HWND h) {
    char buffer[1024] = {};
    GetWindowTextA(h, buffer, sizeof buffer);
    return buffer;
}

std::string classOf(HWND h) {
    char buffer[256] = {};
    GetClassNameA(h, buffer, sizeof buffer);
    return buffer;
}

// Controls of the window and of the pages inside it.
BOOL CALLBACK collectChild(HWND h, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(h);
    return TRUE;
}

std::vector<HWND> controlsOf(HWND window) {
    std::vector<HWND> controls;
    EnumChildWindows(window, collectChild, reinterpret_cast<LPARAM>(&controls));
    return controls;
}

bool showsText(HWND window, const std::string& text) {
    for (HWND h : controlsOf(window)) {
        if (IsWindowVisible(h) && textOf(h) == text) return true;
    }
    return false;
}

// A dialog opened over another one may share its caption (Tavrel's
// question boxes carry the program's title, as its sheet does): a text
// shown in it tells the two apart.
struct Search {
    std::string title;
    std::string text;  // empty: any
    HWND found = nullptr;
};

BOOL CALLBACK matchTopLevel(HWND h, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(h)) return TRUE;
    if ((textOf(h) == search->title || classOf(h) == search->title) &&
        (search->text.empty() || showsText(h, search->text))) {
        search->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND findWindow(const std::string& title, const std::string& text = {}) {
    Search search{title, text};
    EnumWindows(matchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <class Condition>
bool waitFor(double seconds, Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

HWND controlOf(HWND window, int id) {
    for (HWND h : controlsOf(window)) {
        if (GetDlgCtrlID(h) == id && IsWindowVisible(h)) return h;
    }
    return nullptr;
}

bool timeChanged = false;

LRESULT CALLBACK listen(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_TIMECHANGE) timeChanged = true;
    return DefWindowProcA(window, message, w, l);
}

// A top-level window that waits for the broadcast of a clock change.
bool waitForTimeChange(double seconds) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = listen;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TimeChangeListener";
    if (RegisterClassA(&windowClass) == 0) return false;
    HWND window = CreateWindowA("TimeChangeListener", "Time change listener", WS_OVERLAPPEDWINDOW, 0, 0, 200, 50,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return false;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!timeChanged && std::chrono::steady_clock::now() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    DestroyWindow(window);
    return timeChanged;
}

int usage() {
    std::fprintf(stderr,
                 "usage: window_probe find|gone|enabled|controls|focus|center|text|wait-text TITLE ... | "
                 "send TITLE resume|timechange | hold|timechange SECONDS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "hold") {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
        return 0;
    }
    if (argc < 3) return usage();
    if (const char* desktopName = std::getenv("PROBE_DESKTOP"); desktopName != nullptr && *desktopName != '\0') {
        // The desktop appears when its explorer has started.
        HDESK desktop = nullptr;
        waitFor(60, [&] { return (desktop = OpenDesktopA(desktopName, 0, FALSE, GENERIC_ALL)) != nullptr; });
        if (desktop == nullptr || !SetThreadDesktop(desktop)) {
            std::fprintf(stderr, "window_probe: no desktop \"%s\"\n", desktopName);
            return 1;
        }
    }
    const std::string verb = argv[1];
    const std::string title = argv[2];
    if (verb == "timechange") return waitForTimeChange(std::atof(argv[2])) ? 0 : 1;
    const std::string shownText = argc == 5 ? argv[4] : "";
    if (verb == "find" && (argc == 4 || argc == 5)) {
        HWND found = nullptr;
        if (!waitFor(std::atof(argv[3]), [&] { return (found = findWindow(title, shownText)) != nullptr; })) {
            return 1;
        }
        RECT r{};
        GetWindowRect(found, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        return 0;
    }
    if (verb == "gone" && (argc == 4 || argc == 5)) {
        return waitFor(std::atof(argv[3]), [&] { return findWindow(title, shownText) == nullptr; }) ? 0 : 1;
    }
    if (verb == "enabled" && argc == 4) {
        return waitFor(std::atof(argv[3]), [&] {
                   HWND found = findWindow(title);
                   return found != nullptr && IsWindowEnabled(found);
               })
                   ? 0
                   : 1;
    }
    HWND window = findWindow(title);
    if (window == nullptr) return 1;
    if (verb == "controls") {
        for (HWND h : controlsOf(window)) {
            RECT r{};
            GetWindowRect(h, &r);
            std::printf("%d %s %ld %ld %ld %ld %s %s\n", GetDlgCtrlID(h), classOf(h).c_str(), r.left, r.top,
                        r.right - r.left, r.bottom - r.top, IsWindowVisible(h) ? "shown" : "hidden",
                        textOf(h).c_str());
        }
        return 0;
    }
    if (verb == "focus") {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || info.hwndFocus == nullptr) {
            std::printf("0\n");
            return 1;
        }
        HWND focus = info.hwndFocus;
        HWND parent = GetParent(focus);
        if (parent != nullptr && classOf(parent) == "SysIPAddress32") focus = parent;
        std::printf("%d\n", GetDlgCtrlID(focus));
        return 0;
    }
    if (argc < 4) return usage();
    if (verb == "send" && argc == 4) {
        const std::string what = argv[3];
        UINT message = 0;
        WPARAM w = 0;
        if (what == "resume") {
            message = WM_POWERBROADCAST;
            w = PBT_APMRESUMEAUTOMATIC;
        } else if (what == "timechange") {
            message = WM_TIMECHANGE;
        } else {
            return usage();
        }
        DWORD_PTR ignored = 0;
        return SendMessageTimeoutA(window, message, w, 0, SMTO_ABORTIFHUNG, 10000, &ignored) != 0 ? 0 : 1;
    }
    const int id = std::atoi(argv[3]);
    HWND control = controlOf(window, id);
    if (control == nullptr) return 1;
    if (verb == "center") {
        RECT r{};
        GetWindowRect(control, &r);
        std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        return 0;
    }
    if (verb == "text") {
        std::printf("%s\n", textOf(control).c_str());
        return 0;
    }
    if (verb == "wait-text" && argc == 6) {
        const std::string unwanted = argv[4];
        std::string text;
        const bool changed = waitFor(std::atof(argv[5]), [&] { return (text = textOf(control)) != unwanted; });
        std::printf("%s\n", text.c_str());
        return changed ? 0 : 1;
    }
    return usage();
}
