#include "engine/clock_discipline.h"

#include <algorithm>
#include <cmath>
#include <charconv>

namespace tavrel {
namespace {

constexpr double kUnitsPerSecond = static_cast<double>(platform::kFileTimeUnitsPerSecond);
constexpr double kPpm = 1e-6;
// No bound is taken as tighter than this: the clock's own reading and the
// scheduling around it are not better than a few tens of microseconds.
constexpr double kSmallestBoundSeconds = 50e-6;
// A sample is far off when it misses the prediction by more than this many
// times its bound plus the prediction's uncertainty.
constexpr double kFarOff = 3.0;
// A straight line is judged from three samples on.
constexpr size_t kFewestSamples = 3;

double seconds(int64_t units) { return static_cast<double>(units) / kUnitsPerSecond; }

double signedUnits(platform::FileTime to, platform::FileTime from) {
    return to >= from ? static_cast<double>(to - from) : -static_cast<double>(from - to);
}

// A figure with one decimal, in any locale.
std::string oneDecimal(double value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, written.ptr);
}

}  // namespace

void ClockDiscipline::seed(double errorPpm, double uncertaintyPpm) {
    if (!std::isfinite(errorPpm) || !std::isfinite(uncertaintyPpm) || uncertaintyPpm <= 0) return;
    seed_ = RateEstimate{errorPpm, uncertaintyPpm, 0};
}

void ClockDiscipline::noteFrequency(platform::FileTime at, double correctionPpm) {
    if (rateSince_ != 0) rateUnits_ += ratePpm_ * kPpm * signedUnits(at, rateSince_);
    rateSince_ = at;
    ratePpm_ = correctionPpm;
}

void ClockDiscipline::noteChange(platform::FileTime at, int64_t units, int64_t durationUnits) {
    // A step or a new slew ends the slews in progress: what they gained stays.
    for (const Slew& slew : slews_) {
        if (at <= slew.start) continue;
        const double elapsed = static_cast<double>(at - slew.start);
        changedUnits_ += static_cast<double>(slew.units) * std::min(1.0, elapsed / static_cast<double>(slew.duration));
    }
    slews_.clear();
    if (durationUnits > 0 && units != 0) {
        slews_.push_back(Slew{at, units, durationUnits});
    } else {
        changedUnits_ += static_cast<double>(units);
    }
}

double ClockDiscipline::programShare(platform::FileTime at) const {
    double share = changedUnits_ + rateUnits_;
    if (rateSince_ != 0) share += ratePpm_ * kPpm * signedUnits(at, rateSince_);
    for (const Slew& slew : slews_) {
        if (at <= slew.start) continue;
        const double elapsed = static_cast<double>(at - slew.start);
        share += static_cast<double>(slew.units) * std::min(1.0, elapsed / static_cast<double>(slew.duration));
    }
    return share;
}

double ClockDiscipline::secondsSinceOrigin(platform::FileTime at) const { return signedUnits(at, origin_) / kUnitsPerSecond; }

ClockDiscipline::Fit ClockDiscipline::fit() const {
    // Weighted least squares about the weighted mean time, where the
    // intercept and the slope are independent; the seed is one more
    // measurement of the slope.
    Fit out;
    const size_t n = points_.size();
    if (n == 0 || (n < kFewestSamples && !seed_)) return out;
    double sw = 0, swt = 0, swe = 0;
    for (const Point& p : points_) {
        const double w = 1.0 / (p.bound * p.bound);
        sw += w;
        swt += w * p.t;
        swe += w * p.error;
    }
    const double mean = swt / sw;
    double swtt = 0, swte = 0;
    for (const Point& p : points_) {
        const double w = 1.0 / (p.bound * p.bound);
        swtt += w * (p.t - mean) * (p.t - mean);
        swte += w * (p.t - mean) * (p.error - swe / sw);
    }
    double priorWeight = 0, priorSlope = 0;
    if (seed_) {
        const double sigma = seed_->uncertaintyPpm * kPpm;
        priorWeight = 1.0 / (sigma * sigma);
        priorSlope = seed_->errorPpm * kPpm;
    }
    if (swtt + priorWeight <= 0) return out;
    out.b = (swte + priorWeight * priorSlope) / (swtt + priorWeight);
    out.varB = 1.0 / (swtt + priorWeight);
    // The intercept at the mean time, carried to t = 0.
    out.a = swe / sw - out.b * mean;
    out.varA = 1.0 / sw + out.varB * mean * mean;
    out.covAB = -out.varB * mean;
    if (n > 2) {
        double chi2 = 0;
        for (const Point& p : points_) {
            const double r = (p.error - out.a - out.b * p.t) / p.bound;
            chi2 += r * r;
        }
        out.scale = std::max(1.0, chi2 / static_cast<double>(n - 2));
    }
    out.valid = true;
    return out;
}

std::optional<RateEstimate> ClockDiscipline::estimate() const {
    if (points_.empty()) {
        if (seed_) return seed_;
        return std::nullopt;
    }
    const Fit f = fit();
    if (!f.valid) return std::nullopt;
    return RateEstimate{f.b / kPpm, std::sqrt(f.varB * f.scale) / kPpm, points_.size()};
}

std::optional<double> ClockDiscipline::uncertaintyPpm() const {
    const auto e = estimate();
    if (!e) return std::nullopt;
    return e->uncertaintyPpm;
}

void ClockDiscipline::restartFrom(const std::vector<Point>& points) {
    points_.assign(points.begin(), points.end());
    held_.reset();
    // The rate changed: an earlier estimate no longer holds.
    seed_.reset();
}

void ClockDiscipline::trimWindow() {
    if (points_.empty()) return;
    const double newest = points_.back().t;
    const double window = static_cast<double>(kRateWindow) / kUnitsPerSecond;
    while (points_.size() > kMostRateSamples || (points_.size() > 1 && newest - points_.front().t > window)) {
        points_.pop_front();
    }
}

SampleOutcome ClockDiscipline::addSample(const RateSample& sample) {
    if (!haveOrigin_) {
        origin_ = sample.at;
        haveOrigin_ = true;
    }
    // This clock less the true time is minus the offset; what the program
    // did to the clock comes off it.
    const double error = (-static_cast<double>(sample.offsetUnits) - programShare(sample.at)) / kUnitsPerSecond;
    const Point point{secondsSinceOrigin(sample.at), error, std::max(kSmallestBoundSeconds, seconds(sample.boundUnits))};

    const Fit f = fit();
    if (f.valid && points_.size() >= (seed_ ? 1u : kFewestSamples)) {
        const double dt = point.t;
        const double predicted = f.a + f.b * dt;
        const double spread = std::sqrt(std::max(0.0, (f.varA + 2 * f.covAB * dt + f.varB * dt * dt) * f.scale));
        const bool far = std::fabs(point.error - predicted) > kFarOff * (point.bound + spread);
        if (far) {
            if (!held_) {
                held_ = point;
                return SampleOutcome::Held;
            }
            restartFrom({*held_, point});
            return SampleOutcome::Restarted;
        }
    }
    held_.reset();
    points_.push_back(point);
    trimWindow();
    return SampleOutcome::Used;
}

bool anotherProgramSteers(const SteeringInput& input) {
    // The kernel keeps the frequency in steps of 2^-16 ppm; Windows in
    // steps of its clock's increment.
    constexpr double kSameRatePpm = 0.01;
    const auto differs = [&](double ppm) { return std::fabs(input.kernelPpm - ppm) > kSameRatePpm; };
    if (input.lastSetPpm) return differs(*input.lastSetPpm);
    if (!differs(0.0)) return false;
    // Not zero before the first set: the rate this program left in an
    // earlier run, or another program's. With no drift file a rate left by
    // a daemon that has since stopped is taken over, unless the system says
    // a daemon keeps the clock.
    if (input.driftFilePpm) return differs(*input.driftFilePpm);
    return input.daemonKeptClockAtStart;
}

double rateCorrectionFor(double errorPpm) {
    return std::clamp(-errorPpm, -kLargestRateCorrectionPpm, kLargestRateCorrectionPpm);
}

std::string rateCorrectedText(double errorPpm, double uncertaintyPpm) {
    // "+0.0" rather than "-0.0" for an error that rounds to nothing.
    const double shown = std::fabs(errorPpm) < 0.05 ? 0.0 : errorPpm;
#ifdef _WIN32
    constexpr const char* kPlusMinus = "\xB1";  // the ANSI code page's
#else
    constexpr const char* kPlusMinus = "\xC2\xB1";
#endif
    return "Clock rate corrected: " + (shown >= 0 ? "+" + oneDecimal(shown) : oneDecimal(shown)) + " ppm " +
           kPlusMinus + " " + oneDecimal(uncertaintyPpm);
}

}  // namespace tavrel
