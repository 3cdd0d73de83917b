#!/usr/bin/env bash
# Measures how many small deliberate faults the unit and net tests catch.
# Each fault of the lists is planted alone in a scratch copy of the tree,
# the unit and net tests are built and run, and the fault counts as caught
# when any of them fails (or the copy no longer builds). Prints a line per
# fault and the share caught. Run by hand (it takes a while: one rebuild a
# fault), not in CI.
# Usage: [FAULT_LISTS="walk clock"] [FAULT_FILTER=REGEX] tools/plant_faults.sh [SCRATCH_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-$(mktemp -d)}
jobs=$(nproc)

# The faults, in tools/faults/*.list: in each, file, then the exact text to
# find (once in that file), then what it becomes, separated by " ||| ".
# Lines starting with "#" are comments. Each is a mistake a reviewer could
# plausibly make or miss. FAULT_FILTER (a regular expression) plants only
# the faults whose line matches it; FAULT_LISTS names the lists to plant
# (all of them when unset).
lists=()
if [ -n "${FAULT_LISTS:-}" ]; then
    for name in $FAULT_LISTS; do lists+=("$root/tools/faults/$name.list"); done
else
    lists=("$root"/tools/faults/*.list)
fi
faults=$(cat "${lists[@]}" | grep -v '^#' | grep -v '^$' || true)

echo "Copying the tree to $scratch"
mkdir -p "$scratch"
(cd "$root" && git ls-files -z | xargs -0 tar -cf - ) | (cd "$scratch" && tar -xf -)
# Without debug information: every fault relinks the test programs.
cmake -S "$scratch" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
build_and_test() {
    cmake --build "$scratch/build" -j"$jobs" --target unit_tests net_tests tavrel >/dev/null 2>&1 || return 1
    ctest --test-dir "$scratch/build" -L unit -j"$jobs" --timeout 120 >/dev/null 2>&1 || return 1
    ctest --test-dir "$scratch/build" -L net -j"$jobs" --timeout 300 >/dev/null 2>&1
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
python3 - "$faults" "${FAULT_FILTER:-}" > "$scratch/faults.list" <<'PY'
import json, re, sys
entries = []
for line in sys.argv[1].split("\n"):
    if re.match(r"^[a-z_/]+\.(cpp|h) \|\|\| ", line) or not entries:
        entries.append(line)
    else:
        entries[-1] += "\n" + line
pattern = sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] else None
for entry in entries:
    if pattern and not re.search(pattern, entry):
        continue
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
    # The restored file is older than what was built from the planted one:
    # without a new time the next build would keep the planted fault.
    touch "$scratch/$file"
done < "$scratch/faults.list"
planted=$((total - missing))
echo "caught $caught of $planted planted faults ($((planted > 0 ? 100 * caught / planted : 0))%); $missing not planted"
