// The server scan's measurement: the response time of every listed server
// by TIME and by SNTP, one query at a time. The scan works on its own copy
// of the list and runs its own queries; it changes no setting, and every
// finding goes to the history. Its window (ui/scan_window.h) drives it a
// tick a second and shows the findings.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/time_query.h"

namespace tavrel {

// Queries given up whose threads have not ended yet (a name lookup the
// system will not cut short): kept until they have, and never waited for.
// Whoever runs scans keeps one for longer than any scan.
class GivenUpQueries {
public:
    // Aborts the query; keeps it while its thread still runs.
    void giveUp(std::unique_ptr<TimeQuery> query);
    // Releases the queries whose threads have ended.
    void releaseEnded();
    // Releases the ended ones; true while one still runs.
    bool pending();

private:
    std::vector<std::unique_ptr<TimeQuery>> queries_;
};

// One server's answer, or its failure, by one protocol.
struct ScanFinding {
    enum class Outcome { Answered, Failed, TimedOut };
    size_t row = 0;       // the server's place in the scan's list
    bool byTime = true;   // TIME, else SNTP
    std::string address;  // the address contacted; empty when none was known
    Outcome outcome = Outcome::Failed;
    uint32_t responseMs = 0;  // when answered
};

class ServerScan {
public:
    // Takes the list's entries, whatever source is selected, and the date
    // range as they stand now.
    explicit ServerScan(GivenUpQueries& givenUp);
    // Gives up a query still running.
    ~ServerScan();
    ServerScan(const ServerScan&) = delete;
    ServerScan& operator=(const ServerScan&) = delete;

    const std::vector<std::string>& servers() const { return servers_; }
    // The step under way: the row's TIME query, then its SNTP query.
    size_t row() const { return row_; }
    bool measuringTime() const { return measuringTime_; }
    // Every server has been measured by both protocols.
    bool finished() const { return row_ >= servers_.size(); }

    // Starts the query of the step under way, with the sync time-out.
    void startStep();
    // One tick (a second) of the step under way: the finding once its query
    // has answered or failed, or once its time-out has run down (7 tenths a
    // tick); the scan has then moved on to the next step, which startStep
    // starts. Nothing while the query runs.
    std::optional<ScanFinding> tick();
    // The query under way has its answer (or failure): the next tick
    // records it (tests).
    bool answerReady() const { return query_ && query_->finished(); }

    // "Sort by response": rewrites the list with the answering servers
    // first, fastest by SNTP (by TIME where SNTP did not answer), then the
    // silent ones in their old order (see sortServerList). The problem, or
    // empty.
    std::string sortListByResponse() const;

private:
    // Records the step's finding in the history and the scan's results.
    void record(const ScanFinding& finding, const QueryResult* reply);
    void advance();

    GivenUpQueries& givenUp_;
    std::vector<std::string> servers_;
    size_t row_ = 0;
    bool measuringTime_ = true;
    std::unique_ptr<TimeQuery> query_;
    // The step's time-out in tenths of a second.
    int32_t countdown_ = 0;
    // Each row's response times in ms, -1 where the server did not answer.
    std::vector<int64_t> timeMs_, sntpMs_;
    QueryTarget limits_;  // the date range, as it stood when the scan began
};

}  // namespace tavrel
