// The message loop: posted messages and timers handed to the window
// procedures on the UI thread, the backend's input, and the session's
// events (its end, Ctrl-C, the notification area coming back).
#include <algorithm>
#include <chrono>
#include <mutex>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/window_model.h"
#include "platform/loop_wait.h"

namespace tavrel::gui {

namespace model {

void wakeLoop(Manager&) { platform::loop::wake(); }

}  // namespace model

using namespace model;

namespace {

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

}  // namespace

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

}  // namespace

// Runs the loop until `done` holds or the program is asked to quit; false
// on the quit request.
bool model::runLoopUntil(Manager& m, const std::function<bool()>& done) {
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
        if (backend != nullptr) {
            backend->flush();
            if (backend->waitForWork(timeout)) backend->handleInput();
        } else {
            (void)platform::loop::waitForWork(-1, timeout);
        }
        deliverSessionEvents(m);
    }
}

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

void watchSessionEnd(WindowHandle window) {
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        m.sessionWindow = window;
    }
    platform::loop::watchSessionEvents();
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

}  // namespace testing

}  // namespace tavrel::gui
