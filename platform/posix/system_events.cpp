// The system events on Linux: one watcher thread polls logind's bus
// connection (PrepareForSleep), an rtnetlink socket (new addresses and
// routes), a timerfd on CLOCK_REALTIME that a step of the clock cancels,
// an inotify watch on the simulated clock's folder when that clock is in
// use, the test's FIFO when TAVREL_EVENTS_FIFO names one, and an eventfd
// that stops it. Each wake-up also compares CLOCK_BOOTTIME with
// CLOCK_MONOTONIC: the first counts time asleep and the second does not,
// so a jump between them is a wake from sleep even without logind.
#include "platform/system_events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/clock_file.h"
#include "platform/system_events_source.h"

namespace tavrel::platform {
namespace {

// The watcher looks at the clocks at least this often while nothing
// happens (the base of a step's measurement follows slews meanwhile).
constexpr int kLookEveryMs = 10'000;
// Time asleep of this much or more, seen as the two clocks' jump, is a wake.
constexpr int64_t kSleptAtLeastNs = 1'000'000'000;
// One wake may be told twice (logind and the jump): the second within
// this long after the first is the same wake.
constexpr int64_t kSameWakeNs = 30'000'000'000;
constexpr char kLoginMatch[] =
    "type='signal',sender='org.freedesktop.login1',interface='org.freedesktop.login1.Manager',"
    "member='PrepareForSleep',path='/org/freedesktop/login1'";

int64_t clockNs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A descriptor closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// The rtnetlink socket for new addresses and routes, or -1.
int openNetlink() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the messages waiting on the netlink socket add an address or a route.
bool takeNetlinkMessages(int fd) {
    bool added = false;
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            // Messages lost to a full buffer were changes all the same.
            if (errno == ENOBUFS) added = true;
            if (errno == EINTR || errno == ENOBUFS) continue;
            return added;
        }
        if (n == 0) return added;
        // Walked by hand rather than with NLMSG_OK/NLMSG_NEXT: their signed
        // length does not compile cleanly with clang, and an unsigned one
        // would wrap past the end on a short last message.
        const size_t total = static_cast<size_t>(n);
        size_t offset = 0;
        while (total - offset >= sizeof(nlmsghdr)) {
            const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer + offset);
            const size_t length = h->nlmsg_len;
            if (length < sizeof(nlmsghdr) || length > total - offset) break;
            if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_NEWROUTE) added = true;
            offset += NLMSG_ALIGN(length);
            if (offset >= total) break;
        }
    }
}

// Armed far in the future: only its cancellation by a step matters.
bool armClockTimer(int fd) {
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(clockNs(CLOCK_REALTIME) / 1'000'000'000) + 365 * 86'400;
    return timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

// True when the read says the clock was set.
bool takeClockTimer(int fd) {
    uint64_t expirations = 0;
    const ssize_t n = read(fd, &expirations, sizeof expirations);
    const bool set = n < 0 && errno == ECANCELED;
    (void)armClockTimer(fd);
    return set;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when one of the folder's changes is the clock file's.
bool takeInotify(int fd, const std::string& name) {
    bool touched = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return touched;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->len > 0 && name == e->name) touched = true;
            if ((e->mask & IN_Q_OVERFLOW) != 0) touched = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

}  // namespace

struct SystemEventWatch::Impl {
    Descriptor stop{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::thread thread;
    sd_bus* bus = nullptr;
    int64_t sleptNs = 0;         // CLOCK_BOOTTIME less CLOCK_MONOTONIC at the last look
    int64_t lastWakeBootNs = -kSameWakeNs;
    std::string fifoLine;        // a line from the test's FIFO not yet whole
    Descriptor netlink;
    Descriptor clockTimer;
    Descriptor clockFolder;
    Descriptor fifo;
    std::string clockName;

    // Opens the sources on the starting thread, so that nothing that
    // happens once the watch exists is missed.
    void open();
    void run();
    void resumed();
    void lookAtSleep();
    void openBus();
    void takeBus();
    void takeFifo(int fd);
};

void SystemEventWatch::Impl::resumed() {
    const int64_t boot = clockNs(CLOCK_BOOTTIME);
    if (boot - lastWakeBootNs < kSameWakeNs) return;
    lastWakeBootNs = boot;
    raiseSystemEvent(SystemEvent{SystemEventKind::Resumed});
}

void SystemEventWatch::Impl::lookAtSleep() {
    const int64_t slept = clockNs(CLOCK_BOOTTIME) - clockNs(CLOCK_MONOTONIC);
    if (slept - sleptNs >= kSleptAtLeastNs) resumed();
    sleptNs = slept;
}

static int onPrepareForSleep(sd_bus_message* message, void* data, sd_bus_error*) {
    int goingToSleep = 1;
    if (sd_bus_message_read(message, "b", &goingToSleep) >= 0 && goingToSleep == 0) {
        static_cast<SystemEventWatch::Impl*>(data)->resumed();
    }
    return 0;
}

void SystemEventWatch::Impl::openBus() {
    // No system bus (a container, a test's namespace): the clocks' jump
    // alone tells of a wake.
    if (sd_bus_open_system(&bus) < 0) {
        bus = nullptr;
        return;
    }
    if (sd_bus_add_match(bus, nullptr, kLoginMatch, onPrepareForSleep, this) < 0) {
        sd_bus_flush_close_unref(bus);
        bus = nullptr;
    }
}

void SystemEventWatch::Impl::takeBus() {
    if (bus == nullptr) return;
    int r = 0;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) {
        // The bus went away (dbus restarted): the jump still tells.
        sd_bus_flush_close_unref(bus);
        bus = nullptr;
    }
}

void SystemEventWatch::Impl::takeFifo(int fd) {
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) fifoLine.append(buffer, static_cast<size_t>(n));
    size_t end = 0;
    while ((end = fifoLine.find('\n')) != std::string::npos) {
        const std::string line = fifoLine.substr(0, end);
        fifoLine.erase(0, end + 1);
        if (line == "resumed") {
            raiseSystemEvent(SystemEvent{SystemEventKind::Resumed});
        } else if (line == "network") {
            raiseSystemEvent(SystemEvent{SystemEventKind::NetworkChanged});
        } else if (line.rfind("stepped ", 0) == 0) {
            raiseSystemEvent(SystemEvent{SystemEventKind::ClockStepped, std::strtoll(line.c_str() + 8, nullptr, 10)});
        }
    }
    if (fifoLine.size() > sizeof buffer) fifoLine.clear();  // no line end in sight: not the test's
}

void SystemEventWatch::Impl::open() {
    openBus();
    netlink.reset(openNetlink());
    clockTimer.reset(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    if (clockTimer.get() >= 0) (void)armClockTimer(clockTimer.get());
    const char* simulated = clock_file::simulatedClockPath();
    if (simulated != nullptr) {
        clockName = nameOf(simulated);
        clockFolder.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (clockFolder.get() >= 0) {
            (void)inotify_add_watch(clockFolder.get(), folderOf(simulated).c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE);
        }
    }
    const char* fifoPath = std::getenv("TAVREL_EVENTS_FIFO");
    // Opened for writing too, so that it never reads as ended between writers.
    if (fifoPath != nullptr && *fifoPath != '\0') fifo.reset(::open(fifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    sleptNs = clockNs(CLOCK_BOOTTIME) - clockNs(CLOCK_MONOTONIC);
    system_events::startMeasuring();
}

void SystemEventWatch::Impl::run() {
    enum { kStop, kNetlink, kClock, kClockFile, kFifo, kBus, kCount };
    for (;;) {
        pollfd fds[kCount] = {{stop.get(), POLLIN, 0},        {netlink.get(), POLLIN, 0},
                              {clockTimer.get(), POLLIN, 0},  {clockFolder.get(), POLLIN, 0},
                              {fifo.get(), POLLIN, 0},        {-1, 0, 0}};
        int timeout = kLookEveryMs;
        if (bus != nullptr) {
            fds[kBus].fd = sd_bus_get_fd(bus);
            fds[kBus].events = static_cast<short>(sd_bus_get_events(bus));
            uint64_t busTimeoutUs = 0;
            if (sd_bus_get_timeout(bus, &busTimeoutUs) >= 0 && busTimeoutUs != UINT64_MAX) {
                const int64_t leftMs = (static_cast<int64_t>(busTimeoutUs) - clockNs(CLOCK_MONOTONIC) / 1000) / 1000;
                if (leftMs < timeout) timeout = leftMs < 0 ? 0 : static_cast<int>(leftMs);
            }
        }
        const int n = poll(fds, kCount, timeout);
        if (n < 0 && errno != EINTR) break;
        if ((fds[kStop].revents & POLLIN) != 0) break;
        lookAtSleep();
        if (n <= 0) {
            rebaseClockGap();
        }
        if ((fds[kNetlink].revents & POLLIN) != 0 && takeNetlinkMessages(netlink.get())) {
            raiseSystemEvent(SystemEvent{SystemEventKind::NetworkChanged});
        }
        const bool clockSet = (fds[kClock].revents & POLLIN) != 0 && takeClockTimer(clockTimer.get());
        const bool clockFileChanged = (fds[kClockFile].revents & POLLIN) != 0 && takeInotify(clockFolder.get(), clockName);
        if (clockSet || clockFileChanged) clockChangeNoticed();
        if ((fds[kFifo].revents & POLLIN) != 0) takeFifo(fifo.get());
        takeBus();
    }
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
    bus = nullptr;
}

SystemEventWatch::SystemEventWatch(std::function<void()> wake) : impl_(std::make_unique<Impl>()) {
    system_events::setWake(std::move(wake));
    impl_->open();
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

SystemEventWatch::~SystemEventWatch() {
    const uint64_t one = 1;
    (void)!write(impl_->stop.get(), &one, sizeof one);
    if (impl_->thread.joinable()) impl_->thread.join();
    system_events::setWake({});
}

namespace system_events {

int64_t bootTimeUnits() { return clockNs(CLOCK_BOOTTIME) / 100; }

}  // namespace system_events

bool routeExists(const char* address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    std::string text = address != nullptr ? address : "";
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(123);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(123);
        length = sizeof *v6;
    } else {
        return true;
    }
    const Descriptor probe{socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (probe.get() < 0) return true;
    // A UDP connect only picks the route: nothing is sent.
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0) return true;
    return errno != ENETUNREACH && errno != EHOSTUNREACH;
}

}  // namespace tavrel::platform
