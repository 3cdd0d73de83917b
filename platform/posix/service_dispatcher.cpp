#include "platform/service_dispatcher.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <mutex>
#include <cstdlib>
#include <string>
#include <thread>

namespace tavrel::platform {
namespace {

// Tells the waiting control thread that the service main has returned.
constexpr int kMainEndedSignal = SIGUSR2;

// The last status text reported (the last outcome): "Running" does not
// replace it when the service says it is ready again (after its first
// correction, or at a SIGHUP).
std::mutex statusMutex;
std::string lastText;

}  // namespace

bool startedByServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void reportServiceStatus(ServiceState state, unsigned waitHintMs, unsigned checkPoint) {
    std::string message;
    switch (state) {
        case ServiceState::StartPending: message = "STATUS=Starting"; break;
        case ServiceState::Running: {
            std::lock_guard lock(statusMutex);
            message = "READY=1\nSTATUS=" + (lastText.empty() ? std::string("Running") : lastText);
            break;
        }
        case ServiceState::StopPending:
            message = "STOPPING=1\nSTATUS=Stopping (step " + std::to_string(checkPoint) + ")";
            break;
        case ServiceState::Stopped: message = "STATUS=Stopped"; break;
    }
    if (waitHintMs != 0) message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000);
    (void)sd_notify(0, message.c_str());
}

void reportServiceText(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    {
        std::lock_guard lock(statusMutex);
        lastText = line;
    }
    (void)sd_notify(0, ("STATUS=" + line).c_str());
}

bool runServiceDispatcher(const std::function<void()>& serviceMain,
                          const std::function<void(bool stop)>& controlHandler, bool byHandToo) {
    const bool byHand = !startedByServiceManager();
    if (byHand && !byHandToo) return false;
    // The controls arrive as signals, taken only by this thread: every
    // thread started from here on inherits the mask.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGHUP);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGUSR1);
    sigaddset(&controls, kMainEndedSignal);
    pthread_sigmask(SIG_BLOCK, &controls, nullptr);

    std::atomic<bool> mainEnded{false};
    const pthread_t controlThread = pthread_self();
    std::thread worker([&] {
        serviceMain();
        mainEnded.store(true);
        pthread_kill(controlThread, kMainEndedSignal);
    });
    while (!mainEnded.load()) {
        int received = 0;
        if (sigwait(&controls, &received) != 0) continue;
        if (received == kMainEndedSignal) continue;
        controlHandler(received == SIGTERM || (byHand && received == SIGINT));
    }
    worker.join();
    return true;
}

}  // namespace tavrel::platform
