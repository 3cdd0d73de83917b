// The internal TIME (RFC 868, TCP 37) and SNTP (UDP 123) servers. Both
// start and stop together; each answers its clients a batch at a time from
// the local clock and hands them to the reports (status line, log, names),
// which never stand in front of an answer. The SNTP server's decisions
// (pieces, modes, limits, kisses, what is said of the clock) are the
// protocol's SntpRequestHandler; this object owns the threads and sockets.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/time_service.h"
#include "protocol/server_replies.h"
#include "timeservice/client_reports.h"

namespace tavrel {

// Mask of the running servers: 1 TIME, 2 SNTP.
inline constexpr int32_t kTimeServerRunning = 1;
inline constexpr int32_t kSntpServerRunning = 2;

// "SNTP Server Port Error; " and who holds UDP 123 ("held by chronyd (pid
// 412)", or "held by chrony.service" when only its unit is known), or the
// system's advice when that is not known.
std::string sntpPortErrorText(const platform::PortHolder& holder);

// How the SNTP server learns who holds its port, and stops and starts the
// system's time service when that is the holder: the system's own calls,
// unless a test gives its own.
struct LocalTimeServiceControl {
    std::function<platform::PortHolder(uint16_t)> holder = platform::udpPortHolder;
    std::function<void(const std::string&)> stop = platform::stopTimeService;
    std::function<void(const std::string&)> start = platform::startTimeService;
};

// Said (once a shortage) when TIME clients wait and no descriptor is to be
// had to take them.
inline constexpr char kTimeAcceptError[] =
    "TIME Server cannot take connections: out of descriptors or memory; waiting for some to free.";
// Said when it takes connections again after such a shortage (the log may
// have had no descriptor to write the shortage down).
inline constexpr char kTimeAcceptRecovered[] = "TIME Server takes connections again after running out of descriptors.";

// The environment variable that turns the SNTP server's per-client limits
// off ("off"), for a server on a network whose clients are all trusted.
inline constexpr char kRateLimitVariable[] = "TAVREL_SERVER_RATE_LIMIT";

// What the servers say of the clock: the owner's record of its last good
// correction or check (the system's own view is added here).
using ClockStandingSource = std::function<ClockStanding()>;

struct TimeServerOptions {
    ServerStatusSink sink;
    ServerStatusSink trouble;  // a port that cannot be had; the sink when empty
    ClockStandingSource standing;
    bool limitClients = true;
    LocalTimeServiceControl localTimeService;
};

// Whether the per-client limits are on, as the environment says.
bool rateLimitWanted();

class TimeServers {
public:
    TimeServers() = default;
    ~TimeServers();
    TimeServers(const TimeServers&) = delete;
    TimeServers& operator=(const TimeServers&) = delete;

    // Starts the TIME and SNTP server threads (after the threads of an
    // earlier start have ended).
    void start(TimeServerOptions options);
    // Asks both servers to stop and closes their sockets; does not wait.
    void stop();
    // Waits until the server threads have ended; the log then gets what
    // they served since its last summary.
    void join();
    // Stops the servers and, when every thread has ended within `waitMs`,
    // joins them (so the log gets its last summary); true then. Servers
    // that do not stop in time do not hold up the program's end.
    bool finish(uint32_t waitMs);
    // How long the program's end waits for them.
    static constexpr uint32_t kFinishWaitMs = 20'000;
    // Requests answered since the start (kisses not counted).
    uint64_t served(ServedBy by) const { return served_[by == ServedBy::Time ? 0 : 1].load(); }
    // kTimeServerRunning | kSntpServerRunning for the servers that run.
    int32_t activity() const { return activity_.load(); }
    // "TIME Server Active", "SNTP Server Active" or both; empty when none runs.
    std::string stateText() const;

private:
    void timeServerThread(platform::AddressFamily family);
    void sntpServerThread(platform::AddressFamily family);
    bool bindSntpPort(platform::Socket& socket, std::string& stopped, std::string& trouble);
    bool serving() const { return !stopRequested_.load(); }
    void publish(std::shared_ptr<platform::Socket>& slot, std::shared_ptr<platform::Socket> socket);

    std::mutex threadMutex_;  // start and join
    std::thread timeThread_, sntpThread_, timeThread6_, sntpThread6_;
    // Set once the IPv4 SNTP server has tried for its port (the IPv6 one
    // binds after it).
    platform::ManualResetEvent sntpPortTried_;
    std::atomic<bool> stopRequested_{false};
    platform::ManualResetEvent stopSignal_;
    std::mutex socketMutex_;  // the sockets
    std::shared_ptr<platform::Socket> timeSocket_, sntpSocket_, timeSocket6_, sntpSocket6_;
    std::atomic<int32_t> activity_{0};  // each IPv4 server thread sets and clears its own bit
    std::atomic<int> threadsRunning_{0};
    std::atomic<uint64_t> served_[2] = {0, 0};  // TIME, SNTP; added to by the server threads  // set by start, counted down by each thread as it ends
    ClientReports reports_;
    TimeServerOptions options_;  // set by start while no thread runs
};

}  // namespace tavrel
