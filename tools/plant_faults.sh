#!/usr/bin/env bash
# Measures how many small deliberate faults the unit-labelled tests catch.
# Each fault of the list below is planted alone in a scratch copy of the
# tree, the unit tests are built and run, and the fault counts as caught
# when any of them fails (or the copy no longer builds). Prints a line per
# fault and the share caught. Run by hand (it takes a while: one rebuild a
# fault), not in CI.
# Usage: tools/plant_faults.sh [SCRATCH_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-$(mktemp -d)}
jobs=$(nproc)

# The faults: file, then the exact text to find (once in that file), then
# what it becomes, separated by " ||| ". Each is a mistake a reviewer could
# plausibly make or miss.
faults=$(cat <<'EOF'
protocol/time_protocol.cpp ||| return (wireSeconds & kEraTopBit) != 0 ? wireSeconds : wireSeconds + kEraSeconds; ||| return wireSeconds;
protocol/time_protocol.cpp ||| + (1ULL << 31)) >> 32; ||| ) >> 32;
protocol/time_protocol.cpp ||| packet[0] = kSntpClientHeader; ||| packet[0] = 0x23;
protocol/time_protocol.cpp ||| if ((reply[0] >> 6) == kLeapAlarm || reply[1] == kKissOfDeathStratum) return false; ||| if (reply[1] == kKissOfDeathStratum) return false;
protocol/time_protocol.cpp ||| out.receiveSeconds = readWord(reply, 32); ||| out.receiveSeconds = readWord(reply, 40);
protocol/time_protocol.cpp ||| return out.transmitSeconds != 0 || out.transmitFraction != 0; ||| return true;
protocol/time_protocol.cpp ||| if (rest != 0 && (half % 2) != 0) half += rest; ||| if (rest != 0) half += rest;
protocol/time_protocol.cpp ||| if (reply.size() < kSntpPacketSize || reply[1] != kKissOfDeathStratum) return false; ||| if (reply.size() < kSntpPacketSize) return false;
engine/clock_correction.cpp ||| static_cast<platform::FileTime>(msSinceReply) * platform::kFileTimeUnitsPerMs; ||| static_cast<platform::FileTime>(msSinceReply / 1000) * platform::kFileTimeUnitsPerSecond;
storage/settings.h ||| case OffsetUnit::Hours: return std::chrono::hours(1); ||| case OffsetUnit::Hours: return std::chrono::minutes(1);
engine/clock_correction.cpp ||| const int64_t hours = (apart >= 0 ? apart + half : apart - half) / static_cast<int64_t>(kHour); ||| const int64_t hours = apart / static_cast<int64_t>(kHour);
engine/clock_correction.cpp ||| std::string text = negative ? (whole == 0 ? "- " : "-") : ""; ||| std::string text = negative ? "-" : "";
engine/clock_correction.cpp ||| text += std::string(5 - digits.size(), '0') + digits; ||| text += digits;
engine/clock_correction.cpp ||| (reply.offsetUnits > kLargestUnits || reply.offsetUnits < -kLargestUnits) ||| (reply.offsetUnits > kLargestUnits)
engine/clock_correction.cpp ||| if (settings.logResponse.load() || form == DifferenceForm::Status) { ||| if (settings.logResponse.load()) {
storage/settings.h ||| case TimeUnit::Hours: return std::chrono::hours(1); ||| case TimeUnit::Hours: return std::chrono::minutes(1);
engine/countdown.cpp ||| if (s != 0 || written == 0) append(s, kSlotSecondsSuffix); ||| if (s != 0) append(s, kSlotSecondsSuffix);
engine/countdown.cpp ||| if (written < 2) {
        s -= hours * kSecondsPerHour; ||| if (written < 3) {
        s -= hours * kSecondsPerHour;
engine/operation.cpp ||| if (wrapped_ && next >= roundStart_) return false; ||| if (wrapped_ && next > roundStart_) return false;
engine/operation.cpp ||| bool singleServer() { return settings.serverSource.load() != ServerSource::List || settings.defaultServerOnly.load(); } ||| bool singleServer() { return settings.serverSource.load() != ServerSource::List; }
engine/operation.cpp ||| if (n % 2 == 1) return offsets[n / 2]; ||| if (n % 2 == 1) return offsets[n - 1];
engine/operation.cpp ||| return a / 2 + b / 2 + (a % 2 + b % 2) / 2; ||| return b;
engine/operation.cpp ||| roundPauseMs_ = std::min(roundPauseMs_ * 2, kLongestRoundPauseMs); ||| roundPauseMs_ = std::min(roundPauseMs_ + kFirstRoundPauseMs, kLongestRoundPauseMs);
engine/operation.cpp ||| if (round_ == 1) {
        if (logErrorsAllowed()) ||| if (round_ >= 1) {
        if (logErrorsAllowed())
engine/operation.cpp ||| const uint64_t roundedUp = (ms + kSecondMs - 1) / kSecondMs * kSecondMs; ||| const uint64_t roundedUp = ms;
engine/operation.cpp ||| nextServer(!queryAddress_.empty() && kiss.empty()); ||| nextServer(true);
engine/operation.cpp ||| if (kiss == "RATE") kisses_[serverName_] = Kiss{kiss, now + kRateKissPauseMs}; ||| if (kiss == "RATE") kisses_[serverName_] = Kiss{kiss, now};
engine/time_query.cpp ||| if (result.belowDateRange && !done.low) { ||| if (result.belowDateRange) {
engine/time_query.cpp ||| if (result.aboveDateRange && !done.high) { ||| if (result.aboveDateRange) {
engine/time_query.cpp ||| return configured == Protocol::Auto ? autoChoice : configured; ||| return configured == Protocol::Auto ? Protocol::Sntp : configured;
storage/settings.cpp ||| keepWithin<uint32_t>(settings.offsetAmount, 0, 99, 0); ||| keepWithin<uint32_t>(settings.offsetAmount, 0, 100, 0);
storage/settings.cpp ||| constexpr std::chrono::seconds kShortestSyncTimeout{5}; ||| constexpr std::chrono::seconds kShortestSyncTimeout{4};
storage/settings.cpp ||| if (!dateValid(low) || !dateValid(high) || low > high) resetDateRange(); ||| if (!dateValid(low) || !dateValid(high)) resetDateRange();
storage/settings.cpp ||| keepWithin(settings.protocol, Protocol::Auto, Protocol::Auto); ||| keepWithin(settings.protocol, static_cast<Protocol>(3), Protocol::Auto);
storage/settings.cpp ||| settings.dateRangeLow.store(platform::makeFileTime(upper - kDateRangeBelow, lower)); ||| settings.dateRangeLow.store(platform::makeFileTime(upper - kDateRangeAbove, lower));
storage/history.cpp ||| if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text); ||| if (text.find_first_of(",\r\n") == std::string_view::npos) return std::string(text);
storage/history.cpp ||| if (c == '"') quoted += '"'; ||| (void)0;
storage/history.cpp ||| if ((f.size() != kOldFields && f.size() != kFields) || !parseIsoTime(f[0], out.when)) return false; ||| if (f.size() < kOldFields || !parseIsoTime(f[0], out.when)) return false;
storage/history.cpp ||| if (parseHistoryRow(line, entry) && entry.when >= since) into.push_back(std::move(entry)); ||| if (parseHistoryRow(line, entry) && entry.when > since) into.push_back(std::move(entry));
storage/history.cpp ||| readRows(dataDirectory() + kOldHistoryFileName, since, entries); ||| (void)since;
storage/history.cpp ||| if (e.changeSeconds) std::snprintf(change, sizeof change, "%.7f", *e.changeSeconds); ||| (void)0;
storage/rotating_file.cpp ||| if (!file.isAt(path)) continue; ||| (void)0;
storage/rotating_file.cpp ||| if (size == 0) out = header; ||| (void)0;
storage/rotating_file.cpp ||| reportDropping(path, reason);
                    return false; ||| size = 0;
                    break;
servers/server_list.cpp ||| if (parser.finish()) (void)visit(count++, parser.entry()); ||| (void)0;
servers/server_list.cpp ||| if (byte == '\n') return afterCr ? false : lineEnded(); ||| if (byte == '\n') return false;
servers/server_list.cpp ||| return text.find_first_not_of(" \t") != std::string_view::npos; ||| return true;
servers/server_list.cpp ||| for (const std::string& line : kept) sorted += line + "\r\n"; ||| (void)kept;
servers/server_list.cpp ||| if (!platform::writeFileReplacing(stem + ".bak", bytes)) return "Cannot write " + stem + ".bak"; ||| (void)0;
EOF
)

echo "Copying the tree to $scratch"
mkdir -p "$scratch"
(cd "$root" && git ls-files -z | xargs -0 tar -cf - ) | (cd "$scratch" && tar -xf -)
cmake -S "$scratch" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
build_and_test() {
    cmake --build "$scratch/build" -j"$jobs" --target unit_tests tavrel >/dev/null 2>&1 || return 1
    ctest --test-dir "$scratch/build" -L unit -j"$jobs" --timeout 120 >/dev/null 2>&1
}
echo "Building the unplanted copy"
if ! build_and_test; then
    echo "The unit tests fail without any fault planted: fix that first." >&2
    exit 2
fi

total=0
caught=0
missing=0
# One JSON object a fault. A fault may span lines: a new one begins with a
# line that starts with a source file's path and " ||| ".
python3 - "$faults" > "$scratch/faults.list" <<'PY'
import json, re, sys
entries = []
for line in sys.argv[1].split("\n"):
    if re.match(r"^[a-z_/]+\.(cpp|h) \|\|\| ", line) or not entries:
        entries.append(line)
    else:
        entries[-1] += "\n" + line
for entry in entries:
    parts = entry.split(" ||| ")
    if len(parts) != 3:
        print(json.dumps({"error": entry}))
    else:
        print(json.dumps({"file": parts[0], "find": parts[1], "replace": parts[2]}))
PY

while IFS= read -r fault; do
    total=$((total + 1))
    file=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1]).get("file", "?"))' "$fault")
    if ! python3 - "$scratch" "$fault" <<'PY'
import json, sys
scratch, fault = sys.argv[1], json.loads(sys.argv[2])
if "error" in fault:
    sys.exit(1)
path = scratch + "/" + fault["file"]
text = open(path).read()
if text.count(fault["find"]) != 1:
    sys.exit(1)
open(path + ".unplanted", "w").write(text)
open(path, "w").write(text.replace(fault["find"], fault["replace"]))
PY
    then
        missing=$((missing + 1))
        echo "fault $total ($file): its text is not found once; update the list"
        continue
    fi
    if build_and_test; then
        echo "fault $total ($file): NOT caught"
    else
        caught=$((caught + 1))
        echo "fault $total ($file): caught"
    fi
    mv "$scratch/$file.unplanted" "$scratch/$file"
done < "$scratch/faults.list"
planted=$((total - missing))
echo "caught $caught of $planted planted faults ($((planted > 0 ? 100 * caught / planted : 0))%); $missing not planted"
