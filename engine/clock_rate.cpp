#include "engine/clock_rate.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "storage/data_directory.h"
#include "storage/drift_file.h"
#include "storage/log.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

// The drift file is rewritten at most this often while the program runs.
constexpr platform::FileTime kDriftWriteEvery = 3600 * platform::kFileTimeUnitsPerSecond;
// Rates closer than this are the same rate (the kernel's steps are 2^-16 ppm).
constexpr double kSameNotedPpm = 1e-3;

bool sameRate(const std::optional<double>& a, double b) { return a && std::fabs(*a - b) <= kSameNotedPpm; }

// A root delay or dispersion (seconds, 16.16) in 100-ns units.
int64_t shortUnits(uint32_t value) {
    return static_cast<int64_t>((static_cast<uint64_t>(value) * platform::kFileTimeUnitsPerSecond) >> 16);
}

bool logAllowed(const FlagWord& category) { return !settings.logDisabled.load() && category.load(); }

}  // namespace

ClockRate::ClockRate() {
    const char* switched = std::getenv("TAVREL_RATE_CORRECTION");
    steeringAllowed_ = switched == nullptr || std::string_view(switched) != "0";
}

void ClockRate::start(bool apply) {
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    daemonKeptClockAtStart_ = platform::clockSyncState().synchronised;
    const double kernel = platform::clockFrequency();
    discipline_.noteFrequency(now, kernel);
    notedPpm_ = kernel;
    if (!dataDirectory().empty()) driftFile_ = dataDirectory() + kDriftFileName;
    if (!driftFile_.empty()) {
        if (const std::optional<DriftRecord> drift = readDriftFile(driftFile_, now)) {
            discipline_.seed(drift->errorPpm, drift->uncertaintyPpm);
            driftFilePpm_ = rateCorrectionFor(drift->errorPpm);
            driftWritten_ = drift->written;
        }
    }
    publish();
    if (apply && driftFilePpm_) steer(now);
}

void ClockRate::measured(const QueryResult& reply, bool sntp, const Correction& correction, bool steerRate) {
    // Only measured offsets teach the fit: TIME's whole seconds have a
    // bound of a second, a millionth of the weight of a loopback exchange
    // and too coarse to tell a rate in hours, so they are left out. What a
    // TIME Correct did to the clock is still taken out of later samples.
    if (sntp && reply.offsetMeasured) {
        const platform::FileTime at = serverTimeAtReply(reply);
        const double kernel = platform::clockFrequency();
        if (!sameRate(notedPpm_, kernel)) {
            discipline_.noteFrequency(at, kernel);
            notedPpm_ = kernel;
        }
        // Half the round trip (what the exchange left of it) and the
        // server's root distance.
        const int64_t bound = reply.offsetBoundUnits + shortUnits(reply.rootDelay) / 2 + shortUnits(reply.rootDispersion);
        (void)discipline_.addSample(RateSample{at, reply.offsetUnits, bound});
    }
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    if (correction.clockSet) {
        discipline_.noteChange(now, correction.difference.units,
                               static_cast<int64_t>(correction.slewMs * platform::kFileTimeUnitsPerMs));
    }
    if (steerRate) steer(now);
    publish();
    if (driftWritten_ == 0 || now < driftWritten_ || now - driftWritten_ >= kDriftWriteEvery) writeDrift(now);
}

void ClockRate::steer(platform::FileTime now) {
    if (!steeringAllowed_) return;
    const std::optional<RateEstimate> estimate = discipline_.estimate();
    if (!estimate || estimate->uncertaintyPpm >= kSteerBelowPpm) return;
    const double kernel = platform::clockFrequency();
    if (anotherProgramSteers(SteeringInput{kernel, lastSetPpm_, driftFilePpm_, daemonKeptClockAtStart_})) {
        if (!leftAloneLogged_ && logAllowed(settings.logErrors)) logLine(kRateLeftAloneText, LogLevel::Warning);
        leftAloneLogged_ = true;
        return;
    }
    const double target = rateCorrectionFor(estimate->errorPpm);
    if (lastSetPpm_ && std::fabs(target - *lastSetPpm_) <= kSameNotedPpm) return;
    if (!platform::setClockFrequency(target)) return;
    // What the system keeps (in its own steps) is what is compared later.
    lastSetPpm_ = platform::clockFrequency();
    discipline_.noteFrequency(now, *lastSetPpm_);
    notedPpm_ = lastSetPpm_;
    if (!loggedPpm_ || std::fabs(estimate->errorPpm - *loggedPpm_) > kRateLogStepPpm) {
        if (logAllowed(settings.logSyncs)) logLine(rateCorrectedText(estimate->errorPpm, estimate->uncertaintyPpm));
        loggedPpm_ = estimate->errorPpm;
    }
}

void ClockRate::stop() { writeDrift(platform::getSystemTimeAsFileTime()); }

void ClockRate::writeDrift(platform::FileTime now) {
    // Only a rate learned here, and well: an estimate that is the drift
    // file's own seed must not renew the file's date.
    const std::optional<RateEstimate> estimate = discipline_.estimate();
    if (driftFile_.empty() || !estimate || estimate->samples == 0 || estimate->uncertaintyPpm >= kSteerBelowPpm) return;
    const platform::FileTime whole = now - now % platform::kFileTimeUnitsPerSecond;
    if (writeDriftFile(driftFile_, DriftRecord{estimate->errorPpm, estimate->uncertaintyPpm, whole})) driftWritten_ = now;
}

void ClockRate::publish() {
    const std::optional<double> uncertainty = discipline_.uncertaintyPpm();
    uncertainty_.store(uncertainty ? *uncertainty : -1.0);
}

std::optional<double> ClockRate::uncertaintyPpm() const {
    const double uncertainty = uncertainty_.load();
    if (uncertainty < 0) return std::nullopt;
    return uncertainty;
}

}  // namespace tavrel
