#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "engine/clock_discipline.h"

namespace tavrel {
namespace {

using platform::FileTime;
constexpr FileTime kSecond = platform::kFileTimeUnitsPerSecond;
constexpr FileTime kStart = platform::kFileTime1970 + 1'800'000'000ULL * kSecond;

// A free-running clock with a frequency error, measured against the true
// time by exchanges with bounds, and corrected as the program would.
class SimulatedMachine {
public:
    SimulatedMachine(double naturalPpm, double boundSeconds, unsigned seed)
        : naturalPpm_(naturalPpm), bound_(boundSeconds), random_(seed) {}

    // Time passes; the clock drifts by its own error and the correction.
    void advance(double seconds) {
        error_ += (naturalPpm_ + correctionPpm_) * 1e-6 * seconds;
        now_ += static_cast<FileTime>(seconds * static_cast<double>(kSecond));
    }
    // One exchange: the offset (minus the clock's error) with noise inside
    // the bound, or a given extra error.
    RateSample measure(double extraSeconds = 0, double bound = 0) {
        std::uniform_real_distribution<double> noise(-bound_ * 0.9, bound_ * 0.9);
        const double offset = -error_ + noise(random_) + extraSeconds;
        return RateSample{now_, units(offset), units(bound > 0 ? bound : bound_)};
    }
    // A Correct that steps the clock by what was measured.
    void correct(ClockDiscipline& discipline, const RateSample& sample) {
        error_ += static_cast<double>(sample.offsetUnits) / static_cast<double>(kSecond);
        discipline.noteChange(now_, sample.offsetUnits, 0);
    }
    // A slew of what was measured has run its course.
    void slewed(const RateSample& sample) { error_ += static_cast<double>(sample.offsetUnits) / static_cast<double>(kSecond); }
    void setCorrection(ClockDiscipline& discipline, double ppm) {
        correctionPpm_ = ppm;
        discipline.noteFrequency(now_, ppm);
    }
    void setNatural(double ppm) { naturalPpm_ = ppm; }
    double errorSeconds() const { return error_; }

private:
    static int64_t units(double seconds) { return std::llround(seconds * static_cast<double>(kSecond)); }
    double naturalPpm_;
    double correctionPpm_ = 0;
    double bound_;
    double error_ = 0.010;
    FileTime now_ = kStart;
    std::mt19937 random_;
};

// Checks every 10 minutes of a clock 48.2 ppm fast, each within 1 ms:
// the estimate lands within its uncertainty (generously: three of them)
// and the uncertainty falls below a ppm within the hours the window keeps.
TEST(ClockDiscipline, LearnsTheRateOfAFastClockWithinItsUncertainty) {
    ClockDiscipline discipline;
    SimulatedMachine machine(48.2, 0.001, 1);
    EXPECT_FALSE(discipline.uncertaintyPpm());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
        machine.advance(600);
    }
    EXPECT_FALSE(discipline.estimate()) << "two samples tell no rate with any confidence";
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
        machine.advance(600);
    }
    const auto estimate = discipline.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_LT(estimate->uncertaintyPpm, kSteerBelowPpm);
    EXPECT_GT(estimate->uncertaintyPpm, 0.0);
    EXPECT_NEAR(estimate->errorPpm, 48.2, 3 * estimate->uncertaintyPpm);
    EXPECT_LE(discipline.sampleCount(), kMostRateSamples);
    ASSERT_TRUE(discipline.uncertaintyPpm());
    EXPECT_DOUBLE_EQ(*discipline.uncertaintyPpm(), estimate->uncertaintyPpm);
}

// The program's own steps, slews and rate corrections come out: a series
// of Corrects (each stepping or slewing the clock right) and a rate
// correction part way still give the clock's own rate, and once the
// correction is in, the clock stays right between Corrects.
TEST(ClockDiscipline, TheProgramsOwnChangesAreTakenOut) {
    ClockDiscipline discipline;
    SimulatedMachine machine(-73.5, 0.0005, 2);
    bool slew = false;
    for (int i = 0; i < 24; ++i) {
        const RateSample sample = machine.measure();
        EXPECT_NE(discipline.addSample(sample), SampleOutcome::Restarted) << "sample " << i;
        if (slew) {
            // Slewed over 100 s at the sample's time, evenly.
            discipline.noteChange(sample.at, sample.offsetUnits, static_cast<int64_t>(100 * kSecond));
            machine.advance(100);
            machine.slewed(sample);
            machine.advance(500);
        } else {
            machine.correct(discipline, sample);
            machine.advance(600);
        }
        slew = !slew;
        if (i == 12) {
            const auto estimate = discipline.estimate();
            ASSERT_TRUE(estimate);
            machine.setCorrection(discipline, rateCorrectionFor(estimate->errorPpm));
        }
    }
    const auto estimate = discipline.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_NEAR(estimate->errorPpm, -73.5, std::max(3 * estimate->uncertaintyPpm, 0.5));
    EXPECT_LT(estimate->uncertaintyPpm, kSteerBelowPpm);
}

// A sample with a wide bound (a far server) that is off by much, but within
// its bound, barely moves the estimate and does not restart the fit.
TEST(ClockDiscipline, AWideBoundOutlierBarelyMovesTheEstimate) {
    ClockDiscipline discipline;
    SimulatedMachine machine(20.0, 0.0005, 3);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
        machine.advance(600);
    }
    const double before = discipline.estimate()->errorPpm;
    EXPECT_EQ(discipline.addSample(machine.measure(0.080, 0.100)), SampleOutcome::Used);
    const auto after = discipline.estimate();
    ASSERT_TRUE(after);
    EXPECT_NEAR(after->errorPpm, before, 0.2);
    EXPECT_NEAR(after->errorPpm, 20.0, 3 * after->uncertaintyPpm + 0.2);
}

// The rate changes (the machine warmed up, another program moved it): the
// first sample far off is held, the second restarts the fit, which then
// learns the new rate; one narrow-bound liar alone restarts nothing.
TEST(ClockDiscipline, AStepChangeOfRateRestartsTheFit) {
    ClockDiscipline discipline;
    SimulatedMachine machine(10.0, 0.0005, 4);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
        machine.advance(600);
    }
    // One liar, 50 ms off, then honest samples: nothing restarts.
    EXPECT_EQ(discipline.addSample(machine.measure(0.050)), SampleOutcome::Held);
    machine.advance(600);
    EXPECT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
    EXPECT_NEAR(discipline.estimate()->errorPpm, 10.0, 1.0);

    machine.setNatural(40.0);
    SampleOutcome outcome = SampleOutcome::Used;
    int samples = 0;
    while (outcome != SampleOutcome::Restarted && samples < 10) {
        machine.advance(600);
        outcome = discipline.addSample(machine.measure());
        ++samples;
    }
    ASSERT_EQ(outcome, SampleOutcome::Restarted);
    EXPECT_LT(samples, 6);
    for (int i = 0; i < 20; ++i) {
        machine.advance(600);
        EXPECT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
    }
    const auto estimate = discipline.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_NEAR(estimate->errorPpm, 40.0, 3 * estimate->uncertaintyPpm + 0.1);
}

// A seed (the drift file) stands for the rate until samples come, and they
// then refine it.
TEST(ClockDiscipline, ASeedStandsUntilSamplesComeAndTheyRefineIt) {
    ClockDiscipline discipline;
    discipline.seed(31.0, 0.4);
    auto estimate = discipline.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_DOUBLE_EQ(estimate->errorPpm, 31.0);
    EXPECT_DOUBLE_EQ(estimate->uncertaintyPpm, 0.4);
    SimulatedMachine machine(30.0, 0.0005, 5);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(discipline.addSample(machine.measure()), SampleOutcome::Used);
        machine.advance(600);
    }
    estimate = discipline.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_LT(estimate->uncertaintyPpm, 0.4);
    EXPECT_NEAR(estimate->errorPpm, 30.0, 3 * estimate->uncertaintyPpm);
}

TEST(ClockDiscipline, SteeringLeavesAnotherProgramsRateAlone) {
    // Before the first set: zero, or what the drift file says was left, is ours.
    EXPECT_FALSE(anotherProgramSteers(SteeringInput{0.0, {}, {}, true}));
    EXPECT_FALSE(anotherProgramSteers(SteeringInput{-48.2, {}, -48.2, true}));
    EXPECT_TRUE(anotherProgramSteers(SteeringInput{-12.0, {}, -48.2, false}));
    // No drift file: a daemon keeping the clock owns a rate that is not zero.
    EXPECT_TRUE(anotherProgramSteers(SteeringInput{-12.0, {}, {}, true}));
    EXPECT_FALSE(anotherProgramSteers(SteeringInput{-12.0, {}, {}, false}));
    // After a set: anything but what was set is another program's.
    EXPECT_FALSE(anotherProgramSteers(SteeringInput{-48.2, -48.2, -10.0, true}));
    EXPECT_TRUE(anotherProgramSteers(SteeringInput{-40.0, -48.2, {}, false}));
    EXPECT_DOUBLE_EQ(rateCorrectionFor(48.2), -48.2);
    EXPECT_DOUBLE_EQ(rateCorrectionFor(-900), kLargestRateCorrectionPpm);
}

TEST(ClockDiscipline, TheLogTextGivesTheSignAndOneDecimal) {
#ifdef _WIN32
#define PM "\xB1"  // the ANSI code page's
#else
#define PM "\xC2\xB1"
#endif
    EXPECT_EQ(rateCorrectedText(48.21, 0.284), "Clock rate corrected: +48.2 ppm " PM " 0.3");
    EXPECT_EQ(rateCorrectedText(-7.06, 0.94), "Clock rate corrected: -7.1 ppm " PM " 0.9");
    EXPECT_EQ(rateCorrectedText(-0.01, 0.5), "Clock rate corrected: +0.0 ppm " PM " 0.5");
#undef PM
}

}  // namespace
}  // namespace tavrel
