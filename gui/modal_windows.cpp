// Modal windows: a dialog that runs a message loop of its own until it is
// ended, and the property sheet built on it (tabs over one page at a time,
// OK and Cancel).
#include <algorithm>
#include <mutex>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/window_model.h"

namespace tavrel::gui {

using namespace model;

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

}  // namespace tavrel::gui
