// The dialog manager's backend on Windows: every window of the shared model
// becomes a real dialog, made from the same template data with
// CreateDialogIndirectParamA, kept in step with the model whenever the loop
// is about to sleep, and the user's clicks and keys go back into the model
// as the same messages the other backends produce. Property pages are child
// dialogs over a tab control; the tray entry is Shell_NotifyIconA's.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/modality.h"
#include "platform/loop_wait.h"
#include "platform/system_events.h"
#include "gui/win32/dialog_template.h"
#include "gui/win32/win32_controls.h"

namespace tavrel::gui {
namespace {

using win32::kSheetTabsId;
using namespace win32;


// Sent to a page by itself: a number typed into an address field was too
// large (wParam: the control, lParam: the field and the number).
constexpr UINT kRefuseAddressField = WM_APP + 1;

// The page of a property sheet lies below its row of tabs.
constexpr int kPageTopUnits = 16;

bool sameDate(const SystemTime& a, const SystemTime& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Win32Backend;
// The backend installed for the process: Windows' window procedure and timer
// callbacks carry no pointer of ours, so they find it here.
Win32Backend* activeBackend = nullptr;

// While Windows runs a modal loop of its own (a popup menu, a message box),
// a thread timer keeps the window model's timers and posted messages
// running, so the clock goes on and a due AutoSync is not held up.
constexpr UINT kModalPumpMs = 100;
class ModalPump {
public:
    ModalPump() : id_(SetTimer(nullptr, 0, kModalPumpMs, &ModalPump::tick)) {}
    ~ModalPump() {
        if (id_ != 0) KillTimer(nullptr, id_);
    }
    ModalPump(const ModalPump&) = delete;
    ModalPump& operator=(const ModalPump&) = delete;

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD);
    UINT_PTR id_;
};

class Win32Backend : public DialogBackend {
public:
    Win32Backend() {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_DATE_CLASSES | ICC_INTERNET_CLASSES |
                                                 ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_UPDOWN_CLASS |
                                                 ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        registerWindowClass("TAVREL");
        registerWindowClass("SyncScan");
        taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
        activeBackend = this;
    }

    ~Win32Backend() override {
        for (auto& [handle, mirror] : mirrors_) {
            if (mirror.tray.shown) removeTray(mirror.hwnd, mirror.tray);
        }
        for (auto it = mirrors_.rbegin(); it != mirrors_.rend(); ++it) {
            if (it->second.hwnd != nullptr && IsWindow(it->second.hwnd)) DestroyWindow(it->second.hwnd);
        }
        activeBackend = nullptr;
    }

    void windowChanged(WindowHandle window) override {
        {
            std::lock_guard lock(dirtyMutex_);
            dirty_.insert(window);
        }
        platform::loop::wake();  // a change from another thread is drawn without delay
    }

    int inputDescriptor() override { return 0; }

    // Takes the thread's window messages; keys go to the dialog they belong
    // to first, for Tab, Enter and Escape.
    void handleInput() override {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;  // the model's own quit ends the loop
            HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
            if (root != nullptr && byHwnd_.count(root) != 0 && IsDialogMessageA(root, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    void flush() override {
        std::set<WindowHandle> dirty;
        {
            std::lock_guard lock(dirtyMutex_);
            dirty.swap(dirty_);
        }
        if (dirty.empty()) return;
        const std::vector<WindowView> views = snapshotWindows();
        syncing_ = true;
        std::set<WindowHandle> present;
        for (const WindowView& v : views) present.insert(v.handle);
        // Owners are enabled again before a closed modal window goes, so
        // that Windows hands the activation back to them, as EndDialog does.
        applyModality(views);
        for (auto it = mirrors_.begin(); it != mirrors_.end();) {
            if (present.count(it->first) == 0) {
                destroyMirror(it->second);
                it = mirrors_.erase(it);
            } else {
                ++it;
            }
        }
        for (const WindowView& v : views) {
            if (dirty.count(v.handle) != 0 || mirrors_.count(v.handle) == 0) sync(v);
        }
        applyModality(views);
        syncing_ = false;
    }

    int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) override {
        HMENU menu = CreatePopupMenu();
        for (const MenuItem& item : items) {
            if (item.text.empty()) {
                AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
            } else {
                AppendMenuA(menu, MF_STRING, static_cast<UINT_PTR>(item.command), item.text.c_str());
            }
        }
        HWND owner = hwndOf(window);
        POINT at{};
        GetCursorPos(&at);
        // The menu closes when the user clicks elsewhere only while its owner
        // is in front.
        if (owner != nullptr) SetForegroundWindow(owner);
        ModalPump pump;
        const int chosen = static_cast<int>(
            TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, owner, nullptr));
        if (owner != nullptr) PostMessageA(owner, WM_NULL, 0, 0);
        DestroyMenu(menu);
        return chosen;
    }

    void messageBox(WindowHandle owner, std::string_view text, std::string_view caption,
                    MessageBoxKind kind) override {
        const std::string body(text);
        const std::string title(caption);
        ModalPump pump;
        MessageBoxA(hwndOf(owner), body.c_str(), title.c_str(),
                    MB_OK | (kind == MessageBoxKind::Error ? MB_ICONERROR : MB_ICONINFORMATION));
    }

    static INT_PTR CALLBACK dialogProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_INITDIALOG) {
            SetWindowLongPtrA(hwnd, DWLP_USER, lp);
            SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(programIcon(GetSystemMetrics(SM_CXICON))));
            SendMessageA(hwnd, WM_SETICON, ICON_SMALL,
                         reinterpret_cast<LPARAM>(programIcon(GetSystemMetrics(SM_CXSMICON))));
            return TRUE;
        }
        const auto window = static_cast<WindowHandle>(GetWindowLongPtrA(hwnd, DWLP_USER));
        if (activeBackend == nullptr || window == kNoWindow) return FALSE;
        return activeBackend->handleMessage(hwnd, window, msg, wp, lp);
    }

private:
    struct Mirror {
        HWND hwnd = nullptr;
        HWND tooltips = nullptr;
        bool made = false;  // `last` holds what was applied
        WindowView last{};
        std::vector<int> tabIds;  // a sheet's tabs, in order
        TrayState tray;
        // The control whose focus went elsewhere when it was greyed, and
        // the control that took it.
        int lentFocus = -1;
        HWND focusTakenBy = nullptr;
    };

    HWND hwndOf(WindowHandle window) {
        const auto it = mirrors_.find(window);
        return it == mirrors_.end() ? nullptr : it->second.hwnd;
    }

    const ControlView* controlIn(WindowHandle window, int id) {
        const auto it = mirrors_.find(window);
        if (it == mirrors_.end() || !it->second.made) return nullptr;
        for (const ControlView& c : it->second.last.controls) {
            if (c.layout.id == id && id != -1) return &c;
        }
        return nullptr;
    }

    INT_PTR handleMessage(HWND hwnd, WindowHandle window, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == taskbarCreated_ && taskbarCreated_ != 0) {
            // The shell started again: every tray entry is gone.
            for (auto& [handle, mirror] : mirrors_) mirror.tray.shown = false;
            windowChanged(window);
            postMessage(window, WindowMessage{MessageKind::TaskbarCreated});
            return TRUE;
        }
        switch (msg) {
            case WM_COMMAND:
                if (!syncing_) command(window, LOWORD(wp), HIWORD(wp));
                return TRUE;
            case WM_NOTIFY:
                if (!syncing_) notify(window, *reinterpret_cast<const NMHDR*>(lp));
                return FALSE;
            case WM_CLOSE: postMessage(window, WindowMessage{MessageKind::Close}); return TRUE;
            case WM_DRAWITEM: {
                const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
                const ControlView* c = controlIn(window, static_cast<int>(item->CtlID));
                if (c == nullptr || c->layout.kind != ControlKind::Chart) return FALSE;
                drawChart(item->hDC, item->rcItem, c->chart);
                return TRUE;
            }
            case WM_SIZE:
                if (wp == SIZE_MINIMIZED && windowShowState(window) != ShowCommand::Minimised) {
                    showWindow(window, ShowCommand::Minimised);
                } else if (wp == SIZE_RESTORED && windowShowState(window) == ShowCommand::Minimised) {
                    showWindow(window, ShowCommand::Normal);
                }
                return FALSE;
            case WM_RBUTTONUP: postMessage(window, WindowMessage{MessageKind::RightButtonUp}); return TRUE;
            case kRefuseAddressField: {
                HWND address = GetDlgItem(hwnd, static_cast<int>(wp));
                const std::vector<HWND> fields = addressFieldsOf(address);
                const auto field = static_cast<size_t>(LOWORD(lp));
                if (field < fields.size()) {
                    SetWindowTextA(fields[field], "");
                    SetFocus(fields[field]);
                }
                const std::string text = std::to_string(HIWORD(lp)) +
                                         " is not a valid entry. Please specify a value between 0 and 255.";
                ModalPump pump;
                MessageBoxA(GetAncestor(hwnd, GA_ROOT), text.c_str(), "Invalid Entry", MB_OK | MB_ICONERROR);
                return TRUE;
            }
            case kTrayMessage:
                postMessage(window, WindowMessage{MessageKind::TrayCallback, 0, static_cast<int64_t>(LOWORD(lp))});
                return TRUE;
            case WM_QUERYENDSESSION: {
                const intptr_t answer = deliverMessage(window, WindowMessage{MessageKind::QueryEndSession});
                SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, answer != 0 ? TRUE : FALSE);
                return TRUE;
            }
            case WM_ENDSESSION:
                if (wp != 0) deliverMessage(window, WindowMessage{MessageKind::EndSession});
                return TRUE;
            // Told to every top-level window; the engine takes a wake once
            // however many windows saw it, and a second look at the clock
            // finds no step.
            case WM_POWERBROADCAST:
                if (wp == PBT_APMRESUMEAUTOMATIC) {
                    platform::raiseSystemEvent(platform::SystemEvent{platform::SystemEventKind::Resumed});
                }
                SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, TRUE);
                return TRUE;
            case WM_TIMECHANGE: platform::clockChangeNoticed(); return TRUE;
            default: return FALSE;
        }
    }

    // A click, a key or a changed entry in a control, as the model's
    // messages.
    void command(WindowHandle window, int id, int code) {
        const ControlView* c = controlIn(window, id);
        if (c == nullptr) {
            // Enter and Escape without such a button in the window.
            if (id == IDOK || id == IDCANCEL) postCommand(window, id);
            return;
        }
        switch (c->layout.kind) {
            case ControlKind::PushButton:
            case ControlKind::DefaultPushButton:
                if (code == BN_CLICKED) postCommand(window, id);
                break;
            case ControlKind::CheckBox:
                if (code == BN_CLICKED) {
                    checkDlgButton(window, id, !isDlgButtonChecked(window, id));
                    postCommand(window, id);
                }
                break;
            case ControlKind::RadioButton:
                if (code == BN_CLICKED) {
                    // A radio button clears the others of its group.
                    const std::vector<ControlView> controls = mirrors_[window].last.controls;
                    size_t self = 0;
                    while (self < controls.size() && controls[self].layout.id != id) ++self;
                    for (size_t i = 0; i < controls.size(); ++i) {
                        const ControlView& other = controls[i];
                        if (other.layout.kind == ControlKind::RadioButton && other.layout.id != id &&
                            sameGroup(controls, self, i)) {
                            checkDlgButton(window, other.layout.id, false);
                        }
                    }
                    checkDlgButton(window, id, true);
                    postCommand(window, id);
                }
                break;
            case ControlKind::Edit:
                if (code == EN_CHANGE) setDlgItemText(window, id, windowTextOf(GetDlgItem(hwndOf(window), id)));
                break;
            case ControlKind::IpAddress:
                // The fields as typed, blank ones blank: a short address is
                // the window's to refuse, never filled in with zeros.
                if (code == EN_CHANGE) setDlgItemText(window, id, addressTextOf(GetDlgItem(hwndOf(window), id)));
                break;
            case ControlKind::ComboBox:
                if (code == CBN_SELCHANGE) {
                    const auto selection =
                        static_cast<int>(SendMessageA(GetDlgItem(hwndOf(window), id), CB_GETCURSEL, 0, 0));
                    comboSetSelection(window, id, selection);
                    postCommand(window, id);
                }
                break;
            default: break;
        }
    }

    void notify(WindowHandle window, const NMHDR& header) {
        if (header.idFrom == kSheetTabsId && header.code == TCN_SELCHANGE) {
            const auto index = static_cast<size_t>(SendMessageA(header.hwndFrom, TCM_GETCURSEL, 0, 0));
            const std::vector<int>& tabs = mirrors_[window].tabIds;
            if (index < tabs.size()) postCommand(window, tabs[index]);
            return;
        }
        if (header.code == IPN_FIELDCHANGED) {
            // A number above 255 is refused with a message, as typed
            // numbers are everywhere, rather than taken as 255.
            const auto& change = reinterpret_cast<const NMIPADDRESS&>(header);
            if (change.iValue > 255) {
                PostMessageA(GetParent(header.hwndFrom), kRefuseAddressField, header.idFrom,
                             MAKELPARAM(change.iField, change.iValue));
            }
            return;
        }
        if (header.code == DTN_DATETIMECHANGE) {
            const auto& change = reinterpret_cast<const NMDATETIMECHANGE&>(header);
            if (change.dwFlags != GDT_VALID) return;
            const int id = static_cast<int>(header.idFrom);
            // The picker gives the day; the time of day stays the model's.
            SystemTime value = datePickerTime(window, id);
            value.year = change.st.wYear;
            value.month = change.st.wMonth;
            value.day = change.st.wDay;
            value.dayOfWeek = change.st.wDayOfWeek;
            setDatePickerTime(window, id, value);
        }
    }

    void destroyMirror(Mirror& mirror) {
        if (mirror.tray.shown) removeTray(mirror.hwnd, mirror.tray);
        if (mirror.hwnd != nullptr) {
            byHwnd_.erase(mirror.hwnd);
            if (IsWindow(mirror.hwnd)) DestroyWindow(mirror.hwnd);
            mirror.hwnd = nullptr;
        }
    }

    bool create(const WindowView& v, Mirror& mirror) {
        win32::TemplateWindow layout;
        layout.className = classFor(v.name);
        layout.caption = v.caption;
        layout.width = v.width;
        layout.height = v.height;
        layout.child = v.embeddedIn != kNoWindow;
        layout.minimiseBox = !v.modal && !layout.child;
        layout.closeBox = v.closeBox;
        for (const ControlView& c : v.controls) {
            layout.controls.push_back(c.layout);
            if (c.layout.kind == ControlKind::Tab) mirror.tabIds.push_back(c.layout.id);
        }
        const std::vector<uint16_t> words = win32::buildDialogTemplate(layout);
        HWND parent = nullptr;
        if (layout.child) {
            parent = hwndOf(v.embeddedIn);
            if (parent == nullptr) return false;
        } else if (v.modal) {
            parent = ownerForModal(v.handle);
        } else if (v.owner != kNoWindow) {
            parent = hwndOf(v.owner);
        }
        mirror.hwnd = CreateDialogIndirectParamA(GetModuleHandleA(nullptr),
                                                 reinterpret_cast<LPCDLGTEMPLATEA>(words.data()), parent,
                                                 &Win32Backend::dialogProcedure, static_cast<LPARAM>(v.handle));
        if (mirror.hwnd == nullptr) return false;
        byHwnd_[mirror.hwnd] = v.handle;
        if (layout.child) {
            RECT at{0, kPageTopUnits, 0, 0};
            MapDialogRect(parent, &at);
            SetWindowPos(mirror.hwnd, pagePlace(parent), at.left, at.top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        }
        return true;
    }

    // Where a sheet's page goes among the sheet's controls: right after its
    // tabs, so that Tab goes from the tabs to the page, then OK and Cancel,
    // as in Windows' own property sheets.
    static HWND pagePlace(HWND sheet) {
        HWND tabs = sheet != nullptr ? GetDlgItem(sheet, kSheetTabsId) : nullptr;
        return tabs != nullptr ? tabs : HWND_TOP;
    }

    // A modal window is owned by the newest other window on the screen, so
    // it stays in front of it.
    HWND ownerForModal(WindowHandle self) {
        HWND owner = nullptr;
        for (auto& [handle, mirror] : mirrors_) {
            if (handle == self || mirror.hwnd == nullptr || !mirror.made) continue;
            if (mirror.last.embeddedIn != kNoWindow || mirror.last.show == ShowCommand::Hidden) continue;
            owner = mirror.hwnd;
        }
        return owner;
    }

    void sync(const WindowView& v) {
        Mirror& mirror = mirrors_[v.handle];
        if (mirror.hwnd == nullptr && !create(v, mirror)) return;
        const WindowView* before = mirror.made ? &mirror.last : nullptr;
        HWND hwnd = mirror.hwnd;
        const bool child = v.embeddedIn != kNoWindow;

        if (!child && (before == nullptr || before->caption != v.caption)) SetWindowTextA(hwnd, v.caption.c_str());
        if (before != nullptr && (before->width != v.width || before->height != v.height)) resize(hwnd, v);

        std::vector<const ControlView*> tabs;
        for (size_t i = 0; i < v.controls.size(); ++i) {
            const ControlView& c = v.controls[i];
            if (c.layout.kind == ControlKind::Tab) {
                tabs.push_back(&c);
                continue;
            }
            const ControlView* was = before != nullptr && i < before->controls.size() ? &before->controls[i] : nullptr;
            syncControl(mirror, c, was,
                        takesAccessKey(c.layout.kind) ? accessKeyText(v.controls, i, '&') : withCrLf(c.text));
        }
        if (!tabs.empty()) syncTabs(mirror.hwnd, tabs, before);
        syncTray(mirror.hwnd, mirror.tray, v);

        if (before == nullptr || before->show != v.show) {
            int how = SW_HIDE;
            if (v.show == ShowCommand::Normal) how = child ? SW_SHOW : (IsIconic(hwnd) ? SW_RESTORE : SW_SHOWNORMAL);
            if (v.show == ShowCommand::Minimised) how = SW_MINIMIZE;
            ShowWindow(hwnd, how);
            if (child && v.show == ShowCommand::Normal) {
                SetWindowPos(hwnd, pagePlace(GetParent(hwnd)), 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            }
        }
        if (!child && (before == nullptr || before->topmost != v.topmost)) {
            SetWindowPos(hwnd, v.topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        if (v.foreground && !child) SetForegroundWindow(hwnd);
        mirror.last = v;
        mirror.made = true;
    }

    void resize(HWND hwnd, const WindowView& v) {
        RECT area{0, 0, v.width, v.height};
        MapDialogRect(hwnd, &area);
        const auto style = static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE));
        const auto exStyle = static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE));
        AdjustWindowRectEx(&area, style, FALSE, exStyle);
        SetWindowPos(hwnd, nullptr, 0, 0, area.right - area.left, area.bottom - area.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    void syncControl(Mirror& mirror, const ControlView& c, const ControlView* was, const std::string& shown) {
        if (c.layout.id < 0) return;  // controls without id never change
        HWND h = GetDlgItem(mirror.hwnd, c.layout.id);
        if (h == nullptr) return;
        const ControlKind kind = c.layout.kind;

        if (was == nullptr || was->text != c.text) {
            switch (kind) {
                case ControlKind::IpAddress: {
                    // Typing changed the model from here: the control keeps
                    // its fields and caret.
                    if (addressTextOf(h) == c.text) break;
                    BYTE parts[4];
                    if (parseAddress(c.text, parts)) {
                        SendMessageA(h, IPM_SETADDRESS, 0, MAKEIPADDRESS(parts[0], parts[1], parts[2], parts[3]));
                    } else {
                        SendMessageA(h, IPM_CLEARADDRESS, 0, 0);
                    }
                    break;
                }
                case ControlKind::Edit:
                    // Typing changed the model from here: leave the caret alone.
                    if (windowTextOf(h) != c.text) SetWindowTextA(h, c.text.c_str());
                    break;
                case ControlKind::ComboBox:
                case ControlKind::DatePicker:
                case ControlKind::UpDown:
                case ControlKind::ListView:
                case ControlKind::Icon:
                case ControlKind::Tab: break;
                default: SetWindowTextA(h, shown.c_str()); break;
            }
        }
        if (was == nullptr || was->enabled != c.enabled) enable(mirror, h, c);
        if ((kind == ControlKind::CheckBox || kind == ControlKind::RadioButton) &&
            (was == nullptr || was->checked != c.checked)) {
            SendMessageA(h, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            if (kind == ControlKind::RadioButton) {
                // The checked button is its group's tab stop.
                const LONG_PTR style = GetWindowLongPtrA(h, GWL_STYLE);
                const LONG_PTR stop = c.checked ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP));
                if (stop != style) SetWindowLongPtrA(h, GWL_STYLE, stop);
            }
        }
        if (was == nullptr ? c.shield : was->shield != c.shield) SendMessageA(h, BCM_SETSHIELD, 0, c.shield ? 1 : 0);
        if (was == nullptr ? !c.tooltip.empty() : was->tooltip != c.tooltip) setTooltip(mirror.tooltips, mirror.hwnd, h, c.tooltip);

        switch (kind) {
            case ControlKind::ComboBox:
                if (was == nullptr || was->items != c.items) {
                    SendMessageA(h, CB_RESETCONTENT, 0, 0);
                    for (const std::string& item : c.items) {
                        SendMessageA(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
                    }
                    SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(c.selection), 0);
                } else if (was->selection != c.selection) {
                    SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(c.selection), 0);
                }
                break;
            case ControlKind::DatePicker:
                if (was == nullptr || !sameDate(was->date, c.date)) {
                    SYSTEMTIME st;
                    static_assert(sizeof st == sizeof c.date);
                    std::memcpy(&st, &c.date, sizeof st);
                    if (st.wYear >= 1601) SendMessageA(h, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&st));
                }
                break;
            case ControlKind::UpDown:
                if (was == nullptr || was->low != c.low || was->high != c.high) {
                    SendMessageA(h, UDM_SETRANGE32, static_cast<WPARAM>(c.low), static_cast<LPARAM>(c.high));
                }
                break;
            case ControlKind::ListView: syncListView(h, c, was); break;
            case ControlKind::Chart:
                if (was == nullptr || !(was->chart == c.chart)) InvalidateRect(h, nullptr, TRUE);
                break;
            default: break;
        }
    }

    // Greying the control that has the focus would leave the dialog without
    // one (Tab, Enter and Escape would do nothing): the focus moves to the
    // next control, as Windows' dialog manager moves it, and comes back when
    // the control is enabled again unless the user has moved it meanwhile.
    void enable(Mirror& mirror, HWND h, const ControlView& c) {
        HWND dialog = GetAncestor(h, GA_ROOT);
        if (!c.enabled && GetFocus() == h && dialog != nullptr) {
            SendMessageA(dialog, WM_NEXTDLGCTL, 0, FALSE);
            // Greyed in turn, the control that took it passes it on; the
            // first keeps its claim.
            if (mirror.lentFocus == -1) mirror.lentFocus = c.layout.id;
            mirror.focusTakenBy = GetFocus();
        }
        EnableWindow(h, c.enabled ? TRUE : FALSE);
        if (c.enabled && mirror.lentFocus == c.layout.id) {
            if (GetFocus() == mirror.focusTakenBy && dialog != nullptr) {
                SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h), TRUE);
            }
            mirror.lentFocus = -1;
            mirror.focusTakenBy = nullptr;
        }
    }

    // While a modal window shows, only the newest one takes input, with the
    // windows opened from it (the scan opened from the Options sheet).
    void applyModality(const std::vector<WindowView>& views) {
        const std::vector<bool> taking = windowsTakingInput(views);
        for (size_t i = 0; i < views.size(); ++i) {
            if (views[i].embeddedIn != kNoWindow) continue;
            HWND h = hwndOf(views[i].handle);
            if (h == nullptr) continue;
            if ((IsWindowEnabled(h) != FALSE) != taking[i]) EnableWindow(h, taking[i] ? TRUE : FALSE);
        }
    }

    std::mutex dirtyMutex_;
    std::set<WindowHandle> dirty_;
    std::map<WindowHandle, Mirror> mirrors_;
    std::map<HWND, WindowHandle> byHwnd_;
    bool syncing_ = false;
    UINT taskbarCreated_ = 0;
};

void CALLBACK ModalPump::tick(HWND, UINT, UINT_PTR, DWORD) {
    // A message handled here may open a message box, whose own loop ticks
    // this timer again: one pump at a time.
    static bool pumping = false;
    if (pumping) return;
    pumping = true;
    if (pumpMessages()) {
        if (activeBackend != nullptr) activeBackend->flush();
    } else {
        EndMenu();  // the program is ending: a menu open now closes
    }
    pumping = false;
}

}  // namespace

void chooseWindowKind(WindowKind) {}

WindowKind interactiveWindowKind() { return WindowKind::Desktop; }

bool interactiveBackendAvailable() { return true; }

std::unique_ptr<DialogBackend> makeInteractiveBackend() { return std::make_unique<Win32Backend>(); }

}  // namespace tavrel::gui
