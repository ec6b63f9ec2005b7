#!/usr/bin/env bash
# Builds the suite with coverage counters (gcc --coverage, debug, no sanitizer) in build/coverage,
# runs it, and prints line and branch coverage per folder of src/, tech/, host/ and lv2/ with the
# total.
# Branches that only exceptions or the compiler's own unreachable paths take are left out.
#
#   scripts/coverage.sh [CTEST_ARGS...]     e.g. scripts/coverage.sh -L 'audio|chain'
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if ! command -v gcovr >/dev/null; then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends gcovr
fi

build=build/coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQOR_BENCH=OFF \
  -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j "$(nproc)"
# Counters of an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
if ! QOR_TRACE=off ctest --test-dir "$build" -j "$(nproc)" --timeout 300 "$@" >"$build/ctest.log"; then
  echo "coverage: some tests failed (see $build/ctest.log); the figures count what ran" >&2
fi

summary=$build/coverage.json
gcovr -r . --object-directory "$build" --filter 'src/' --filter 'tech/' --filter 'host/' --filter 'lv2/' \
  --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
  --json-summary "$summary" >/dev/null
python3 - "$summary" <<'EOF'
import json, sys
from collections import defaultdict
files = json.load(open(sys.argv[1]))["files"]
folders = defaultdict(lambda: [0, 0, 0, 0])
for entry in files:
    parts = entry["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "src" and len(parts) > 2 else parts[0]
    counts = folders[folder]
    counts[0] += entry["line_covered"]; counts[1] += entry["line_total"]
    counts[2] += entry["branch_covered"]; counts[3] += entry["branch_total"]
def pct(part, whole):
    return "%6.1f %%" % (100.0 * part / whole) if whole else "     - "
print("%-16s %10s %8s %10s %8s" % ("folder", "lines", "", "branches", ""))
total = [0, 0, 0, 0]
for folder in sorted(folders):
    c = folders[folder]
    total = [t + x for t, x in zip(total, c)]
    print("%-16s %10s %8s %10s %8s" % (folder, "%d/%d" % (c[0], c[1]), pct(c[0], c[1]),
                                       "%d/%d" % (c[2], c[3]), pct(c[2], c[3])))
print("%-16s %10s %8s %10s %8s" % ("total", "%d/%d" % (total[0], total[1]), pct(total[0], total[1]),
                                   "%d/%d" % (total[2], total[3]), pct(total[2], total[3])))
EOF
