// The window model shared by every backend: windows and their controls,
// what the window procedures and the backends read and change of them.
#include <algorithm>
#include <mutex>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/window_model.h"

namespace tavrel::gui {

namespace model {

Manager& manager() {
    static Manager m;
    return m;
}

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

}  // namespace model

using namespace model;

namespace {

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

WindowHandle createDialog(const DialogTemplate& dialog, WindowProcedure procedure, WindowHandle owner) {
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
        const auto owning = m.windows.find(owner);
        if (owning != m.windows.end()) {
            window->owner = owning->second->embeddedIn != kNoWindow ? owning->second->embeddedIn : owner;
        }
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

std::vector<WindowView> snapshotWindows() {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    std::vector<WindowView> views;
    for (const auto& [handle, w] : m.windows) {
        WindowView view{handle,   w->width,      w->height, w->caption, w->show,    w->trayIcon,  w->trayTip,
                        w->modal, w->embeddedIn, {},        w->name,    w->topmost, w->foreground, w->closeBox,
                        w->owner};
        w->foreground = false;
        for (const Control& c : w->controls) {
            view.controls.push_back(ControlView{c.layout, c.text, c.enabled, c.checked, c.shield, c.tooltip, c.items,
                                                c.selection, c.date, c.rows, c.rangeLow, c.rangeHigh, c.chart});
        }
        views.push_back(std::move(view));
    }
    return views;
}

void setForegroundWindow(WindowHandle window) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->foreground = true;
    notifyChanged(m, window);
}

namespace testing {

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
