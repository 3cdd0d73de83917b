// The clock's own rate: how many parts per million this computer's clock
// runs fast or slow, learned from the offsets that Checks and Corrects
// measure, and when the program may steer the clock's rate by it. Pure
// logic: the caller reads the clock and sets its rate.
//
// Every sample is the offset measured at a time with a bound on its error.
// The program's own changes (steps, slews, its rate correction) are taken
// out, so what the fit sees is the clock as it would have run on its own;
// a weighted straight line (weight 1/bound^2) through the last hours of it
// gives the frequency error and its uncertainty.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/time.h"

namespace tavrel {

// The window of samples the fit keeps.
inline constexpr size_t kMostRateSamples = 64;
inline constexpr platform::FileTime kRateWindow = 6ULL * 3600 * platform::kFileTimeUnitsPerSecond;
// The rate is steered once it is known this well.
inline constexpr double kSteerBelowPpm = 1.0;
// The most a rate correction may be (as the Linux kernel allows).
inline constexpr double kLargestRateCorrectionPpm = 500.0;

// One measurement: at `at` (the true time, the server's), the server's
// clock less this computer's, and the bound on that figure's error.
struct RateSample {
    platform::FileTime at = 0;
    int64_t offsetUnits = 0;
    int64_t boundUnits = 0;
};

struct RateEstimate {
    double errorPpm = 0;        // > 0: the clock on its own runs fast
    double uncertaintyPpm = 0;  // one standard deviation
    size_t samples = 0;         // samples behind it (0: the seed alone)
};

enum class SampleOutcome {
    Used,       // in line with the fit (or the fit had too little to judge)
    Held,       // far off the fit: kept aside until the next sample tells
    Restarted,  // a second sample far off: the rate changed, the fit began again
};

class ClockDiscipline {
public:
    // Starts the fit from an earlier estimate (the drift file): it counts
    // as a measurement of the rate with that uncertainty until samples
    // outweigh it. Samples already in the fit stay.
    void seed(double errorPpm, double uncertaintyPpm);
    // The program's rate correction in force from `at` on (ppm; > 0 makes
    // the clock run faster), whoever set it.
    void noteFrequency(platform::FileTime at, double correctionPpm);
    // The program moved the clock by `units` at `at`: at once (duration 0)
    // or evenly over `durationUnits` (a slew).
    void noteChange(platform::FileTime at, int64_t units, int64_t durationUnits);
    // A measured offset. A sample far outside its bound and the fit's
    // prediction is held; a second one in a row starts the fit again from
    // the two, a sample in line drops the held one.
    SampleOutcome addSample(const RateSample& sample);

    // The fit's estimate; none until it has three samples (or a seed).
    std::optional<RateEstimate> estimate() const;
    // The estimate's uncertainty, none while no rate is learned.
    std::optional<double> uncertaintyPpm() const;
    size_t sampleCount() const { return points_.size(); }

private:
    // A sample as the fit sees it: the clock's free-running error (this
    // computer less the true time, the program's changes taken out), in
    // seconds, at seconds since origin_.
    struct Point {
        double t = 0;
        double error = 0;
        double bound = 0;  // seconds, > 0
    };
    struct Slew {
        platform::FileTime start = 0;
        int64_t units = 0;
        int64_t duration = 0;
    };
    struct Fit {
        double a = 0, b = 0;      // error = a + b t
        double varA = 0, varB = 0, covAB = 0;
        double scale = 1;         // the residuals' spread against their bounds (>= 1)
        bool valid = false;
    };

    // What the program's changes and rate correction have added to the
    // clock by `at` (units, fractional).
    double programShare(platform::FileTime at) const;
    double secondsSinceOrigin(platform::FileTime at) const;
    Fit fit() const;
    void restartFrom(const std::vector<Point>& points);
    void trimWindow();

    std::deque<Point> points_;
    std::optional<Point> held_;
    std::optional<RateEstimate> seed_;
    bool haveOrigin_ = false;
    platform::FileTime origin_ = 0;
    // The program's changes: slews still running when last looked at, and
    // the sum of all the rest.
    std::vector<Slew> slews_;
    double changedUnits_ = 0;
    // The rate correction: its share up to rateSince_, and its value since.
    double rateUnits_ = 0;
    double ratePpm_ = 0;
    platform::FileTime rateSince_ = 0;
};

// Whether the program may set the clock's rate now, and to what. Pure:
// the caller reads the kernel's frequency and says what it knows.
struct SteeringInput {
    double kernelPpm = 0;                  // the clock's rate correction now
    std::optional<double> lastSetPpm;      // what this program last set in this run
    std::optional<double> driftFilePpm;    // what the drift file says the program left
    bool daemonKeptClockAtStart = false;   // the system said another daemon kept the clock
};
// True when another program steers the rate: the kernel's frequency is
// not what this program last set (or, before its first set, not what the
// drift file says it left, or, with no drift file, not zero while a time
// daemon keeps the clock).
bool anotherProgramSteers(const SteeringInput& input);
// The rate correction for a clock with this frequency error: the opposite,
// within the kernel's limits.
double rateCorrectionFor(double errorPpm);
// "Clock rate corrected: +48.2 ppm ± 0.3" (the clock's own error).
std::string rateCorrectedText(double errorPpm, double uncertaintyPpm);
// What the log says when another program steers the rate.
inline constexpr char kRateLeftAloneText[] = "Clock rate left alone: another program steers it";
// A rate is logged again once it moves by more than this.
inline constexpr double kRateLogStepPpm = 0.5;

}  // namespace tavrel
