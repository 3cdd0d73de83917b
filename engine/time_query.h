// One time query to one server, on a thread of its own: resolve, exchange
// one TIME or SNTP request and reply, convert, measure, test the date range,
// and publish the progress and results in the shared query status.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tavrel {

// Progress of the running query: 0 none, 1 started, 2 socket being created,
// 3 address known and connecting, 4 waiting for the reply, 5 converting,
// 6 done with the reply accepted.
extern std::atomic<uint32_t> queryStep;
// 1 once the query has failed.
extern std::atomic<int32_t> queryFailed;
// The server's time of the reply in wire seconds since 1900 (host order).
extern std::atomic<uint32_t> serverSeconds;
// The SNTP clock offset, server minus this computer, signed 32.32 seconds.
extern std::atomic<int64_t> measuredOffset;
inline int32_t offsetSeconds() { return static_cast<int32_t>(measuredOffset.load() >> 32); }
inline uint32_t offsetFraction() { return static_cast<uint32_t>(measuredOffset.load()); }
// Tick count when the reply was complete, and milliseconds from start to reply.
extern std::atomic<uint32_t> replyTick;
extern std::atomic<uint32_t> responseMs;
// Non-zero while a query thread exists; the query sets it to 0 at its end.
extern std::atomic<uint64_t> queryThread;
// Tenths of a second the supervisor still gives the query.
extern std::atomic<int32_t> timeoutCountdown;
// The protocol Auto uses next: 1 SNTP, 0 TIME.
extern std::atomic<int32_t> autoProtocolChoice;
// This process has started the socket library and not cleaned it up.
extern std::atomic<int32_t> winsockStarted;

// The dotted-quad address last contacted.
std::string serverAddressText();

// Starts the socket library once; 0 on success.
int startWinsock();
// Cleans the socket library up unless the internal time server is enabled.
void stopWinsock();

// The query thread's procedure. Runs only when its starter has set
// syncState to 1.
void timeQuery();
// Starts timeQuery on a new thread and records it in queryThread. The
// previous query thread must have ended.
void startTimeQuery();
// Makes a running query give up: sets abortQuery, closes its socket (a
// blocked connect or receive fails at once) and waits for the thread to end.
void abortRunningQuery();
// Waits until the query thread has ended (queryThread 0) and releases it.
void waitForQueryThread();

// Back to the state at program start (tests and start-up).
void resetQueryState();

}  // namespace tavrel
