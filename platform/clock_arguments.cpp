#include "platform/clock_arguments.h"

namespace tavrel::platform {
namespace {

uint64_t magnitudeOf(int64_t units) {
    return units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
}

}  // namespace

SecondsAndFraction slewDeltaMicroseconds(int64_t units) {
    const uint64_t magnitude = magnitudeOf(units);
    SecondsAndFraction delta;
    delta.seconds = static_cast<int64_t>(magnitude / kFileTimeUnitsPerSecond);
    delta.fraction = static_cast<int64_t>(magnitude % kFileTimeUnitsPerSecond / 10);
    if (units < 0) {
        delta.seconds = -delta.seconds;
        delta.fraction = -delta.fraction;
    }
    return delta;
}

SecondsAndFraction stepOffsetNanoseconds(int64_t units) {
    const uint64_t magnitude = magnitudeOf(units);
    SecondsAndFraction offset;
    offset.seconds = static_cast<int64_t>(magnitude / kFileTimeUnitsPerSecond);
    offset.fraction = static_cast<int64_t>(magnitude % kFileTimeUnitsPerSecond) * 100;
    if (units < 0) {
        // The time value's fraction is never negative.
        offset.seconds = -offset.seconds;
        if (offset.fraction != 0) {
            offset.seconds -= 1;
            offset.fraction = 1'000'000'000 - offset.fraction;
        }
    }
    return offset;
}

bool unixTimeOf(FileTime utc, SecondsAndFraction& out) {
    if (utc < kFileTime1970) return false;
    const FileTime sinceEpoch = utc - kFileTime1970;
    out.seconds = static_cast<int64_t>(sinceEpoch / kFileTimeUnitsPerSecond);
    out.fraction = static_cast<int64_t>(sinceEpoch % kFileTimeUnitsPerSecond) * 100;
    return true;
}

FileTime fileTimeOfUnix(int64_t seconds, int64_t nanoseconds) {
    return kFileTime1970 + static_cast<FileTime>(seconds) * kFileTimeUnitsPerSecond +
           static_cast<FileTime>(nanoseconds / 100);
}

FileTime stepTarget(FileTime now, int64_t units) { return now + static_cast<FileTime>(units); }

SlewAdjustment slewAdjustment(uint32_t increment, int64_t units) {
    SlewAdjustment slew;
    const uint32_t perTick = increment / 2000 > 0 ? increment / 2000 : 1;
    slew.ms = magnitudeOf(units) * increment / perTick / kFileTimeUnitsPerMs;
    slew.rate = units < 0 ? increment - perTick : increment + perTick;
    return slew;
}

}  // namespace tavrel::platform
