// The window model shared by every backend: windows and controls, the
// message queue, timers, and the loop that hands everything to the window
// procedures on the UI thread.
#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "platform/loop_wait.h"

namespace tavrel::gui {
namespace {

using Clock = std::chrono::steady_clock;

struct Control {
    ControlTemplate layout{};
    std::string text;
    bool enabled = true;
    bool checked = false;
    bool shield = false;
    std::string tooltip;
    std::vector<std::string> items;
    int selection = -1;
    SystemTime date{};
    int rangeLow = 0;
    int rangeHigh = 99;
    std::vector<std::vector<std::string>> rows;
    ChartData chart;
};

struct Window {
    WindowProcedure procedure;
    int width = 0;
    int height = 0;
    bool modal = false;
    WindowHandle embeddedIn = kNoWindow;
    bool modalEnded = false;
    intptr_t modalResult = 0;
    std::string caption;
    bool trayIcon = false;
    std::string trayTip;
    ShowCommand show = ShowCommand::Hidden;
    bool topmost = false;
    bool foreground = false;  // asked to come to the front; the backend takes it
    bool closeBox = true;
    std::string name;         // the template's name
    std::vector<Control> controls;

    Control* control(int id) {
        for (Control& c : controls) {
            if (c.layout.id == id && id != -1) return &c;
        }
        return nullptr;
    }
};

struct Timer {
    WindowHandle window;
    int id;
    uint32_t periodMs;
    Clock::time_point due;
};

struct Queued {
    enum class Kind { Message, Text, Destroy, Show } kind;
    WindowHandle window;
    WindowMessage message{MessageKind::Command};
    int controlId = 0;
    std::string text{};
    ShowCommand show = ShowCommand::Normal;
};

struct Manager {
    std::mutex mutex;
    std::map<WindowHandle, std::shared_ptr<Window>> windows;
    std::deque<Queued> queue;
    std::vector<Timer> timers;
    WindowHandle nextHandle = 1;
    bool quitRequested = false;
    int exitCode = 0;
    bool manualTimers = false;
    std::thread::id uiThread;
    bool uiThreadKnown = false;
    DialogBackend* backend = nullptr;
    WindowHandle sessionWindow = kNoWindow;
};

// The window model: one per process, as Windows' window manager is, with
// one UI thread; every gui:: call and the backend reach it.
Manager& manager() {
    static Manager m;
    return m;
}

void wakeLoop(Manager&) { platform::loop::wake(); }

// True when the caller runs on the UI thread (the first thread to use the
// manager claims it).
bool onUiThread(Manager& m) {
    if (!m.uiThreadKnown) {
        m.uiThread = std::this_thread::get_id();
        m.uiThreadKnown = true;
    }
    return m.uiThread == std::this_thread::get_id();
}

void notifyChanged(Manager& m, WindowHandle window) {
    if (m.backend != nullptr) m.backend->windowChanged(window);
}

intptr_t dispatch(WindowHandle window, const WindowMessage& message) {
    std::shared_ptr<Window> target;
    bool modal;
    {
        std::lock_guard lock(manager().mutex);
        const auto it = manager().windows.find(window);
        if (it == manager().windows.end()) return 0;
        target = it->second;
        modal = target->modal;
    }
    if (!target->procedure) return 0;
    // As Windows' dialog manager does: a modal dialog's close box is Cancel.
    if (message.kind == MessageKind::Close && modal) {
        return target->procedure(window, WindowMessage{MessageKind::Command, kIdCancel});
    }
    return target->procedure(window, message);
}

void applyText(Manager& m, WindowHandle window, int id, std::string_view text) {
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    Control* c = it->second->control(id);
    if (c == nullptr) return;
    c->text.assign(text);
    notifyChanged(m, window);
    if (m.backend != nullptr) m.backend->controlTextChanged(window, id, c->text);
}

void destroyNow(WindowHandle window) {
    if (!windowExists(window)) return;
    dispatch(window, WindowMessage{MessageKind::Destroy});
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    m.windows.erase(window);
    std::erase_if(m.timers, [window](const Timer& t) { return t.window == window; });
    notifyChanged(m, window);
}

void showNow(WindowHandle window, ShowCommand command) {
    ShowCommand before;
    {
        Manager& m = manager();
        std::lock_guard lock(m.mutex);
        const auto it = m.windows.find(window);
        if (it == m.windows.end()) return;
        before = it->second->show;
        it->second->show = command;
        notifyChanged(m, window);
    }
    // As on Windows: minimising and restoring tell the window its new size.
    if (command == ShowCommand::Minimised && before != ShowCommand::Minimised) {
        dispatch(window, WindowMessage{MessageKind::Size, kSizeMinimised});
    } else if (command == ShowCommand::Normal && before != ShowCommand::Normal) {
        dispatch(window, WindowMessage{MessageKind::Size, kSizeRestored});
    }
}

// Takes the next queued item, or a due timer as a message; false when
// there is nothing to do now.
bool takeNext(Manager& m, Queued& out) {
    if (!m.queue.empty()) {
        out = std::move(m.queue.front());
        m.queue.pop_front();
        return true;
    }
    if (m.manualTimers) return false;
    const Clock::time_point now = Clock::now();
    for (Timer& t : m.timers) {
        if (t.due <= now) {
            t.due = now + std::chrono::milliseconds(t.periodMs);
            out = Queued{Queued::Kind::Message, t.window, WindowMessage{MessageKind::Timer, t.id}};
            return true;
        }
    }
    return false;
}

void handle(Queued& item) {
    switch (item.kind) {
        case Queued::Kind::Message: dispatch(item.window, item.message); break;
        case Queued::Kind::Text: {
            std::lock_guard lock(manager().mutex);
            applyText(manager(), item.window, item.controlId, item.text);
            break;
        }
        case Queued::Kind::Destroy: destroyNow(item.window); break;
        case Queued::Kind::Show: showNow(item.window, item.show); break;
    }
}

// Milliseconds until the next timer is due, or -1 for none.
int msUntilNextTimer(Manager& m) {
    if (m.manualTimers || m.timers.empty()) return -1;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = m.timers.front().due;
    for (const Timer& t : m.timers) next = std::min(next, t.due);
    if (next <= now) return 0;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
}

template <class Edit>
void editControl(WindowHandle window, int id, Edit&& edit) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    if (Control* c = it->second->control(id)) {
        edit(*c);
        notifyChanged(m, window);
    }
}

template <class Read, class Result>
Result readControl(WindowHandle window, int id, Read&& read, Result fallback) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return fallback;
    Control* c = it->second->control(id);
    return c == nullptr ? fallback : read(*c);
}

}  // namespace

intptr_t deliverMessage(WindowHandle window, const WindowMessage& message) { return dispatch(window, message); }

void setDialogBackend(DialogBackend* backend) {
    std::lock_guard lock(manager().mutex);
    manager().backend = backend;
}

WindowHandle createDialog(const DialogTemplate& dialog, WindowProcedure procedure, WindowHandle) {
    Manager& m = manager();
    auto window = std::make_shared<Window>();
    window->procedure = std::move(procedure);
    window->width = dialog.width;
    window->height = dialog.height;
    window->caption = dialog.caption != nullptr ? dialog.caption : "";
    window->name = dialog.name != nullptr ? dialog.name : "";
    window->closeBox = dialog.closeBox;
    for (const ControlTemplate& layout : dialog.controls) {
        Control c;
        c.layout = layout;
        c.text = layout.text != nullptr ? layout.text : "";
        window->controls.push_back(std::move(c));
    }
    WindowHandle handle;
    {
        std::lock_guard lock(m.mutex);
        onUiThread(m);
        handle = m.nextHandle++;
        m.windows.emplace(handle, std::move(window));
        notifyChanged(m, handle);
    }
    dispatch(handle, WindowMessage{MessageKind::Create});
    return handle;
}

void destroyWindow(WindowHandle window) {
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!onUiThread(m)) {
            m.queue.push_back(Queued{Queued::Kind::Destroy, window});
            wakeLoop(m);
            return;
        }
    }
    destroyNow(window);
}

bool windowExists(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    return manager().windows.count(window) != 0;
}

void showWindow(WindowHandle window, ShowCommand command) {
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!onUiThread(m)) {
            Queued item{Queued::Kind::Show, window};
            item.show = command;
            m.queue.push_back(std::move(item));
            wakeLoop(m);
            return;
        }
    }
    showNow(window, command);
}

ShowCommand windowShowState(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it == manager().windows.end() ? ShowCommand::Hidden : it->second->show;
}

void setWindowText(WindowHandle window, std::string_view text) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->caption.assign(text);
    notifyChanged(m, window);
}

std::string windowText(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it == manager().windows.end() ? std::string() : it->second->caption;
}

void setTopmost(WindowHandle window, bool topmost) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    if (it == manager().windows.end()) return;
    it->second->topmost = topmost;
    notifyChanged(manager(), window);
}

void setDlgItemText(WindowHandle window, int id, std::string_view text) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (m.windows.count(window) == 0) return;
    if (onUiThread(m)) {
        applyText(m, window, id, text);
        return;
    }
    // A text still waiting for the same control is replaced, so a busy
    // writer never makes the queue grow.
    for (Queued& waiting : m.queue) {
        if (waiting.kind == Queued::Kind::Text && waiting.window == window && waiting.controlId == id) {
            waiting.text.assign(text);
            return;
        }
    }
    Queued item{Queued::Kind::Text, window};
    item.controlId = id;
    item.text.assign(text);
    m.queue.push_back(std::move(item));
    wakeLoop(m);
}

std::vector<ControlTemplate> dialogControls(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    std::vector<ControlTemplate> layouts;
    const auto it = manager().windows.find(window);
    if (it == manager().windows.end()) return layouts;
    for (const Control& c : it->second->controls) layouts.push_back(c.layout);
    return layouts;
}

bool hasDlgItem(WindowHandle window, int id) {
    return readControl(window, id, [](Control&) { return true; }, false);
}

namespace {

// An address control's text: four numbers of 0 to 255 are given without
// leading zeros; anything else (fewer numbers, a number too large) as it
// was typed, for the window to refuse rather than guess at.
std::string addressText(const std::string& typed) {
    unsigned parts[4] = {0, 0, 0, 0};
    size_t field = 0, digits = 0;
    for (char c : typed) {
        if (c == '.' && digits > 0 && field < 3) {
            ++field;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            parts[field] = parts[field] * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else {
            return typed;
        }
    }
    if (field != 3 || digits == 0 || std::max({parts[0], parts[1], parts[2], parts[3]}) > 255) return typed;
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

}  // namespace

std::string getDlgItemText(WindowHandle window, int id) {
    return readControl(
        window, id,
        [](Control& c) { return c.layout.kind == ControlKind::IpAddress ? addressText(c.text) : c.text; },
        std::string());
}

void enableDlgItem(WindowHandle window, int id, bool enabled) {
    editControl(window, id, [enabled](Control& c) { c.enabled = enabled; });
}

bool isDlgItemEnabled(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.enabled; }, false);
}

void checkDlgButton(WindowHandle window, int id, bool checked) {
    editControl(window, id, [checked](Control& c) { c.checked = checked; });
}

bool isDlgButtonChecked(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.checked; }, false);
}

void setControlTooltip(WindowHandle window, int id, std::string_view text) {
    editControl(window, id, [text](Control& c) { c.tooltip.assign(text); });
}

std::string controlTooltip(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.tooltip; }, std::string());
}

void setButtonShield(WindowHandle window, int id, bool shown) {
    editControl(window, id, [shown](Control& c) { c.shield = shown; });
}

bool buttonShield(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.shield; }, false);
}

void comboReset(WindowHandle window, int id) {
    editControl(window, id, [](Control& c) {
        c.items.clear();
        c.selection = -1;
        c.text.clear();
    });
}

void comboInsert(WindowHandle window, int id, int index, std::string_view text) {
    editControl(window, id, [&](Control& c) {
        const size_t at = index < 0 || static_cast<size_t>(index) > c.items.size() ? c.items.size()
                                                                                   : static_cast<size_t>(index);
        c.items.insert(c.items.begin() + static_cast<std::ptrdiff_t>(at), std::string(text));
    });
}

void comboSetSelection(WindowHandle window, int id, int index) {
    editControl(window, id, [index](Control& c) {
        c.selection = index >= 0 && static_cast<size_t>(index) < c.items.size() ? index : -1;
        c.text = c.selection >= 0 ? c.items[static_cast<size_t>(c.selection)] : std::string();
    });
}

int comboSelection(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.selection; }, -1);
}

int comboCount(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return static_cast<int>(c.items.size()); }, 0);
}

void setDlgItemInt(WindowHandle window, int id, long value) { setDlgItemText(window, id, std::to_string(value)); }

long getDlgItemInt(WindowHandle window, int id, bool& ok) {
    const std::string text = getDlgItemText(window, id);
    ok = false;
    if (text.empty()) return 0;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    ok = errno == 0 && end != nullptr && *end == '\0';
    return ok ? value : 0;
}

void setUpDownRange(WindowHandle window, int id, int low, int high) {
    editControl(window, id, [low, high](Control& c) {
        c.rangeLow = low;
        c.rangeHigh = high;
    });
}

void setDatePickerTime(WindowHandle window, int id, const SystemTime& value) {
    editControl(window, id, [&value](Control& c) {
        c.date = value;
        c.text = formatShortDate(value);
    });
}

SystemTime datePickerTime(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.date; }, SystemTime{});
}

void listViewSetColumns(WindowHandle window, int id, const std::vector<std::string>& headers) {
    editControl(window, id, [&headers](Control& c) { c.items = headers; });
}

void listViewInsertRow(WindowHandle window, int id, int row, std::string_view firstCell) {
    editControl(window, id, [&](Control& c) {
        const size_t at = row < 0 || static_cast<size_t>(row) > c.rows.size() ? c.rows.size() : static_cast<size_t>(row);
        std::vector<std::string> cells(std::max<size_t>(1, c.items.size()));
        cells[0] = std::string(firstCell);
        c.rows.insert(c.rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(cells));
    });
}

void listViewSetCell(WindowHandle window, int id, int row, int column, std::string_view text) {
    editControl(window, id, [&](Control& c) {
        if (row < 0 || static_cast<size_t>(row) >= c.rows.size() || column < 0) return;
        std::vector<std::string>& cells = c.rows[static_cast<size_t>(row)];
        if (static_cast<size_t>(column) >= cells.size()) cells.resize(static_cast<size_t>(column) + 1);
        cells[static_cast<size_t>(column)] = std::string(text);
    });
}

void chartSetData(WindowHandle window, int id, const ChartData& data) {
    editControl(window, id, [&](Control& c) { c.chart = data; });
}

ChartData chartData(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.chart; }, ChartData{});
}

std::vector<std::vector<std::string>> listViewRows(WindowHandle window, int id) {
    return readControl(window, id, [](Control& c) { return c.rows; }, std::vector<std::vector<std::string>>());
}

void setWindowSize(WindowHandle window, int width, int height) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->width = width;
    it->second->height = height;
    notifyChanged(m, window);
}

namespace {

// A running property sheet, owned by runPropertySheet: the sheet, its
// pages and the page windows made so far.
struct SheetState {
    std::vector<PropertyPage> pages;
    std::vector<WindowHandle> made;
    size_t current = 0;
    WindowHandle sheet = kNoWindow;
};

constexpr int kSheetOk = kIdOk;
constexpr int kSheetCancel = kIdCancel;
// The page lies below the row of tabs (the terminal draws it there too);
// OK and Cancel follow right under the page.
constexpr int kTabRowUnits = 16;
constexpr int kButtonRowUnits = 8;

void markEmbedded(WindowHandle page, WindowHandle sheet, bool shown) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(page);
    if (it == m.windows.end()) return;
    it->second->embeddedIn = sheet;
    it->second->show = shown ? ShowCommand::Normal : ShowCommand::Hidden;
    notifyChanged(m, page);
}

void showPage(SheetState& state, size_t index) {
    if (state.made[index] == kNoWindow) {
        state.made[index] = createDialog(*state.pages[index].dialog, state.pages[index].procedure);
    }
    for (size_t i = 0; i < state.made.size(); ++i) {
        if (state.made[i] != kNoWindow) markEmbedded(state.made[i], state.sheet, i == index);
    }
    for (size_t i = 0; i < state.pages.size(); ++i) checkDlgButton(state.sheet, kSheetTabBase + static_cast<int>(i), i == index);
    state.current = index;
    dispatch(state.made[index], WindowMessage{MessageKind::Notify, kNotifySetActive});
}

}  // namespace

int runPropertySheet(const std::string& caption, const std::vector<PropertyPage>& pages, WindowHandle owner) {
    if (pages.empty()) return 0;
    SheetState state;
    state.pages = pages;
    state.made.assign(pages.size(), kNoWindow);
    int width = 0, height = 0;
    for (const PropertyPage& page : pages) {
        width = std::max(width, page.dialog->width);
        height = std::max(height, page.dialog->height);
    }
    // The sheet's own controls: the tabs above the page, OK and Cancel below.
    std::vector<ControlTemplate> controls;
    std::vector<std::string> titles;
    for (const PropertyPage& page : pages) titles.push_back(page.title);
    int x = 2;
    for (size_t i = 0; i < pages.size(); ++i) {
        const int w = static_cast<int>(titles[i].size() + 4) * 4;
        controls.push_back(ControlTemplate{ControlKind::Tab, kSheetTabBase + static_cast<int>(i), x, 0, w, 8, nullptr});
        x += w + 4;
    }
    const int buttonsY = kTabRowUnits + height;
    controls.push_back(ControlTemplate{ControlKind::PushButton, kSheetOk, width - 110, buttonsY, 50, 8, "OK"});
    controls.push_back(ControlTemplate{ControlKind::PushButton, kSheetCancel, width - 56, buttonsY, 50, 8, "Cancel"});
    const DialogTemplate sheetTemplate{"PROPSHEET", caption.c_str(), width, kTabRowUnits + height + kButtonRowUnits,
                                       controls};
    const intptr_t result = runModalDialog(
        sheetTemplate,
        [&state, &titles](WindowHandle sheet, const WindowMessage& message) -> intptr_t {
            if (message.kind == MessageKind::Create) {
                state.sheet = sheet;
                for (size_t i = 0; i < titles.size(); ++i) setDlgItemText(sheet, kSheetTabBase + static_cast<int>(i), titles[i]);
                showPage(state, 0);
            } else if (message.kind == MessageKind::Command && message.id == kSheetOk) {
                if (dispatch(state.made[state.current], WindowMessage{MessageKind::Notify, kNotifyKillActive}) !=
                    kKeepPage) {
                    endDialog(sheet, 1);
                }
            } else if ((message.kind == MessageKind::Command && message.id == kSheetCancel) ||
                       message.kind == MessageKind::Close) {
                for (WindowHandle page : state.made) {
                    if (page != kNoWindow) dispatch(page, WindowMessage{MessageKind::Notify, kNotifyReset});
                }
                endDialog(sheet, 0);
            } else if (message.kind == MessageKind::Command && message.id >= kSheetTabBase &&
                       message.id < kSheetTabBase + static_cast<int>(state.pages.size())) {
                const size_t index = static_cast<size_t>(message.id - kSheetTabBase);
                if (index != state.current &&
                    dispatch(state.made[state.current], WindowMessage{MessageKind::Notify, kNotifyKillActive}) !=
                        kKeepPage) {
                    showPage(state, index);
                }
            }
            return 0;
        },
        owner);
    for (WindowHandle page : state.made) {
        if (page != kNoWindow) destroyWindow(page);
    }
    return static_cast<int>(result);
}

void setTimer(WindowHandle window, int id, uint32_t periodMs) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (m.windows.count(window) == 0) return;
    std::erase_if(m.timers, [&](const Timer& t) { return t.window == window && t.id == id; });
    m.timers.push_back(Timer{window, id, periodMs, Clock::now() + std::chrono::milliseconds(periodMs)});
    wakeLoop(m);
}

void killTimer(WindowHandle window, int id) {
    std::lock_guard lock(manager().mutex);
    std::erase_if(manager().timers, [&](const Timer& t) { return t.window == window && t.id == id; });
}

bool timerActive(WindowHandle window, int id) {
    std::lock_guard lock(manager().mutex);
    return std::any_of(manager().timers.begin(), manager().timers.end(),
                       [&](const Timer& t) { return t.window == window && t.id == id; });
}

void postMessage(WindowHandle window, const WindowMessage& message) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    m.queue.push_back(Queued{Queued::Kind::Message, window, message});
    wakeLoop(m);
}

void postQuitMessage(int exitCode) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    m.quitRequested = true;
    m.exitCode = exitCode;
    wakeLoop(m);
}

bool pumpMessages() {
    Manager& m = manager();
    for (;;) {
        Queued item{Queued::Kind::Message, kNoWindow};
        {
            std::lock_guard lock(m.mutex);
            onUiThread(m);
            if (!takeNext(m, item)) return !m.quitRequested;
        }
        handle(item);
    }
}

namespace {

// Turns the session events noted since the last call into messages for
// the window that watches them.
void deliverSessionEvents(Manager& m) {
    WindowHandle window;
    // The window on top: the newest shown top-level window.
    WindowHandle top = kNoWindow;
    {
        std::lock_guard lock(m.mutex);
        window = m.sessionWindow;
        for (const auto& [handle, w] : m.windows) {
            if (w->show == ShowCommand::Normal && w->embeddedIn == kNoWindow) top = handle;
        }
    }
    const platform::loop::SessionEvents events = platform::loop::takeSessionEvents();
    if (events.ending) {
        postMessage(window, WindowMessage{MessageKind::QueryEndSession});
        postMessage(window, WindowMessage{MessageKind::EndSession});
    }
    // Ctrl-C is Escape in the window on top: a dialog is cancelled (one
    // without a Cancel ignores it), and only the session window's own
    // Cancel ends the program.
    if (events.interrupted) postCommand(top != kNoWindow ? top : window, kIdCancel);
    if (events.taskbarCreated) postMessage(window, WindowMessage{MessageKind::TaskbarCreated});
}

// Runs the loop until `done` holds or the program is asked to quit; false
// on the quit request.
bool runLoopUntil(Manager& m, const std::function<bool()>& done) {
    for (;;) {
        if (!pumpMessages()) return false;
        if (done()) return true;
        int timeout;
        DialogBackend* backend;
        {
            std::lock_guard lock(m.mutex);
            if (m.quitRequested) return false;
            if (!m.queue.empty()) continue;
            timeout = msUntilNextTimer(m);
            backend = m.backend;
        }
        if (backend != nullptr) backend->flush();
        if (platform::loop::waitForWork(backend != nullptr ? backend->inputDescriptor() : -1, timeout) &&
            backend != nullptr) {
            backend->handleInput();
        }
        deliverSessionEvents(m);
    }
}

}  // namespace

bool runNestedLoop(const std::function<bool()>& done) { return runLoopUntil(manager(), done); }

void endSession() {
    WindowHandle window;
    {
        std::lock_guard lock(manager().mutex);
        window = manager().sessionWindow;
    }
    postMessage(window, WindowMessage{MessageKind::QueryEndSession});
    postMessage(window, WindowMessage{MessageKind::EndSession});
}

int runMessageLoop() {
    Manager& m = manager();
    runLoopUntil(m, [] { return false; });
    std::lock_guard lock(m.mutex);
    return m.exitCode;
}

intptr_t runModalDialog(const DialogTemplate& dialog, WindowProcedure procedure, WindowHandle) {
    Manager& m = manager();
    const WindowHandle window = createDialog(dialog, std::move(procedure));
    std::shared_ptr<Window> state;
    {
        std::lock_guard lock(m.mutex);
        const auto it = m.windows.find(window);
        if (it == m.windows.end()) return 0;
        state = it->second;
        state->modal = true;
        state->show = ShowCommand::Normal;
        notifyChanged(m, window);
    }
    runLoopUntil(m, [&] {
        std::lock_guard lock(m.mutex);
        return state->modalEnded;
    });
    destroyWindow(window);
    std::lock_guard lock(m.mutex);
    return state->modalResult;
}

void endDialog(WindowHandle window, intptr_t result) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->modalEnded = true;
    it->second->modalResult = result;
    wakeLoop(m);
}

std::vector<WindowView> snapshotWindows() {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    std::vector<WindowView> views;
    for (const auto& [handle, w] : m.windows) {
        WindowView view{handle,   w->width,      w->height, w->caption, w->show,    w->trayIcon,  w->trayTip,
                        w->modal, w->embeddedIn, {},        w->name,    w->topmost, w->foreground, w->closeBox};
        w->foreground = false;
        for (const Control& c : w->controls) {
            view.controls.push_back(ControlView{c.layout, c.text, c.enabled, c.checked, c.shield, c.tooltip, c.items,
                                                c.selection, c.date, c.rows, c.rangeLow, c.rangeHigh, c.chart});
        }
        views.push_back(std::move(view));
    }
    return views;
}

void trayAddIcon(WindowHandle window, std::string_view tip) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->trayIcon = true;
    it->second->trayTip.assign(tip.substr(0, kTrayTipLength));
    notifyChanged(m, window);
}

void trayUpdateTip(WindowHandle window, std::string_view tip) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end() || !it->second->trayIcon) return;
    it->second->trayTip.assign(tip.substr(0, kTrayTipLength));
    notifyChanged(m, window);
}

void trayDeleteIcon(WindowHandle window) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->trayIcon = false;
    notifyChanged(m, window);
}

bool trayIconShown(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it != manager().windows.end() && it->second->trayIcon;
}

std::string trayTip(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it == manager().windows.end() ? std::string() : it->second->trayTip;
}

int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    return backend != nullptr ? backend->trackPopupMenu(window, items) : 0;
}

void setForegroundWindow(WindowHandle window) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->foreground = true;
    notifyChanged(m, window);
}

void watchSessionEnd(WindowHandle window) {
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        m.sessionWindow = window;
    }
    platform::loop::watchSessionEvents();
}

void messageBox(WindowHandle owner, std::string_view text, std::string_view caption, MessageBoxKind kind) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    if (backend != nullptr) backend->messageBox(owner, text, caption, kind);
}

int runInTerminal(const std::vector<std::string>& argv) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    return backend != nullptr ? backend->runInTerminal(argv) : -1;
}

namespace testing {

void useManualTimers(bool manual) {
    std::lock_guard lock(manager().mutex);
    manager().manualTimers = manual;
}

uint32_t timerPeriod(WindowHandle window, int id) {
    std::lock_guard lock(manager().mutex);
    for (const Timer& t : manager().timers) {
        if (t.window == window && t.id == id) return t.periodMs;
    }
    return 0;
}

void fireTimer(WindowHandle window, int id) {
    postMessage(window, WindowMessage{MessageKind::Timer, id});
}

intptr_t sendMessage(WindowHandle window, const WindowMessage& message) { return deliverMessage(window, message); }

void resetDialogManager() {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    m.windows.clear();
    m.queue.clear();
    m.timers.clear();
    m.quitRequested = false;
    m.exitCode = 0;
    m.uiThread = std::this_thread::get_id();
    m.uiThreadKnown = true;
}

}  // namespace testing

}  // namespace tavrel::gui
