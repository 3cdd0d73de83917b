// The loop's sleep on Linux: poll on an eventfd (the wake-up) and on the
// backend's input descriptor. SIGTERM and SIGHUP stand for the session's
// end, SIGINT (Ctrl-C) for an interrupt, SIGUSR1 for the notification area
// coming back.
#include "platform/loop_wait.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

namespace tavrel::platform::loop {
namespace {

// Set by the signal handlers; the loop turns them into messages. Process-wide:
// signals are the process's, and a handler reaches only static storage.
volatile sig_atomic_t sessionEnding = 0;
volatile sig_atomic_t taskbarCreated = 0;
volatile sig_atomic_t interrupted = 0;
// The loop's wake-up that the handlers write to.
int signalWakeFd = -1;

void onSessionEndSignal(int) {
    sessionEnding = 1;
    const uint64_t one = 1;
    (void)!write(signalWakeFd, &one, sizeof one);
}

void onInterruptSignal(int) {
    interrupted = 1;
    const uint64_t one = 1;
    (void)!write(signalWakeFd, &one, sizeof one);
}

void onTaskbarSignal(int) {
    taskbarCreated = 1;
    const uint64_t one = 1;
    (void)!write(signalWakeFd, &one, sizeof one);
}

}  // namespace

int wakeDescriptor() {
    static const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

void wake() {
    const uint64_t one = 1;
    (void)!write(wakeDescriptor(), &one, sizeof one);
}

bool waitForWork(int inputFd, int timeoutMs) {
    const int wakeFd = wakeDescriptor();
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {inputFd, POLLIN, 0}};
    const int n = poll(fds, inputFd >= 0 ? 2 : 1, timeoutMs);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t drained;
        (void)!read(wakeFd, &drained, sizeof drained);
    }
    // A hang-up or an error is input too: the reader learns of it by reading.
    return n > 0 && inputFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool inputEnded(int inputFd) {
    if (inputFd < 0) return true;
    pollfd fd{inputFd, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) return false;
    if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    // Readable with nothing to read is the end of the input.
    int pending = 0;
    return (fd.revents & POLLIN) != 0 && ioctl(inputFd, FIONREAD, &pending) == 0 && pending == 0;
}

void watchSessionEvents() {
    signalWakeFd = wakeDescriptor();
    struct sigaction action {};
    action.sa_handler = onSessionEndSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    struct sigaction taskbar {};
    taskbar.sa_handler = onTaskbarSignal;
    sigemptyset(&taskbar.sa_mask);
    sigaction(SIGUSR1, &taskbar, nullptr);
    struct sigaction interrupt {};
    interrupt.sa_handler = onInterruptSignal;
    sigemptyset(&interrupt.sa_mask);
    sigaction(SIGINT, &interrupt, nullptr);
}

SessionEvents takeSessionEvents() {
    SessionEvents events;
    if (sessionEnding != 0) {
        sessionEnding = 0;
        events.ending = true;
    }
    if (taskbarCreated != 0) {
        taskbarCreated = 0;
        events.taskbarCreated = true;
    }
    if (interrupted != 0) {
        interrupted = 0;
        events.interrupted = true;
    }
    return events;
}

}  // namespace tavrel::platform::loop
