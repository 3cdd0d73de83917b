// The clock's rate as the engine keeps it: every accepted Check and Correct
// teaches the discipline, a Correct may then set the clock's rate, and the
// drift file carries the estimate from one run to the next. It lives on
// the supervisor thread; uncertaintyPpm() may be read from any thread.
//
// The rate is steered only by Corrects of the window program and the
// service (never by a Check, never by "/q", which runs no engine), only
// once it is known within kSteerBelowPpm, and never while another program
// steers it. TAVREL_RATE_CORRECTION=0 in the environment switches the
// steering off (the rate is still learned and kept).
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "engine/clock_correction.h"
#include "engine/clock_discipline.h"
#include "engine/time_query.h"

namespace tavrel {

class ClockRate {
public:
    ClockRate();
    // At the start of a run: reads the drift file and seeds the fit with
    // it; `apply` sets the rate from it at once (a run that corrects the
    // clock by itself: the service, AutoSync).
    void start(bool apply);
    // An accepted reply was used by a Check or a Correct (`correction` is
    // what it did); `steer`: a Correct that may set the rate.
    void measured(const QueryResult& reply, bool sntp, const Correction& correction, bool steer);
    // At a clean stop: the drift file gets the estimate.
    void stop();
    // The learned rate's uncertainty (ppm); none while no rate is learned.
    std::optional<double> uncertaintyPpm() const;

private:
    void steer(platform::FileTime now);
    void writeDrift(platform::FileTime now);
    void publish();

    ClockDiscipline discipline_;
    bool steeringAllowed_ = true;
    bool daemonKeptClockAtStart_ = false;
    std::string driftFile_;
    std::optional<double> driftFilePpm_;  // the rate the drift file says this program left
    std::optional<double> lastSetPpm_;
    std::optional<double> notedPpm_;      // the rate correction the discipline was last told of
    std::optional<double> loggedPpm_;     // the error the log last gave
    bool leftAloneLogged_ = false;
    platform::FileTime driftWritten_ = 0;
    // Written by the supervisor; negative while no rate is learned.
    std::atomic<double> uncertainty_{-1.0};
};

}  // namespace tavrel
