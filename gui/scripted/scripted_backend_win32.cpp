// Standard input cannot be waited on together with the loop's event on
// Windows (a pipe handle is never signalled), so a reader thread blocks in
// ReadFile and hands each block to the loop, waking it. The reader holds
// one block at a time: it waits until the loop has taken the last one.
#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/loop_wait.h"
#include "gui/scripted/scripted_backend.h"
#include "gui/scripted/scripted_interpreter.h"

namespace tavrel::gui {
namespace {

// Shared with the reader, which may outlive the backend while blocked in
// ReadFile at the program's end.
struct InputQueue {
    std::mutex mutex;
    std::condition_variable taken;
    std::string bytes;
    bool ended = false;
    bool abandoned = false;
};

void readStandardInput(std::shared_ptr<InputQueue> queue) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[512];
    for (;;) {
        DWORD n = 0;
        const bool ok = input != nullptr && input != INVALID_HANDLE_VALUE &&
                        ReadFile(input, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0;
        std::unique_lock lock(queue->mutex);
        if (queue->abandoned) return;
        if (!ok) {
            queue->ended = true;
            lock.unlock();
            platform::loop::wake();
            return;
        }
        queue->bytes.append(buffer, n);
        lock.unlock();
        platform::loop::wake();
        lock.lock();
        queue->taken.wait(lock, [&] { return queue->bytes.empty() || queue->abandoned; });
        if (queue->abandoned) return;
    }
}

class ScriptedBackend : public ScriptedInterpreter {
public:
    explicit ScriptedBackend(WindowHandle& target)
        : ScriptedInterpreter(target), queue_(std::make_shared<InputQueue>()) {
        std::thread(readStandardInput, queue_).detach();
    }

    ~ScriptedBackend() override {
        std::lock_guard lock(queue_->mutex);
        queue_->abandoned = true;
        queue_->taken.notify_all();
    }

    // Any value but -1 makes the loop call handleInput after each wait.
    int inputDescriptor() override { return open_ ? 0 : -1; }

    void handleInput() override {
        std::string bytes;
        {
            std::lock_guard lock(queue_->mutex);
            bytes.swap(queue_->bytes);
            if (queue_->ended) open_ = false;  // keep running, stop listening
        }
        queue_->taken.notify_all();
        if (!bytes.empty()) feed(bytes.data(), bytes.size());
    }

private:
    std::shared_ptr<InputQueue> queue_;
    bool open_ = true;
};

}  // namespace

std::unique_ptr<DialogBackend> makeScriptedBackend(WindowHandle& target) {
    return std::make_unique<ScriptedBackend>(target);
}

}  // namespace tavrel::gui
