#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them. Each benchmark program pairs
# our implementation with an anchor in the same run and ends with one line per
# goal: GOAL <name> measured=<value> target=<op><value> PASS|MISS. The goal
# lines of all programs are repeated together at the end.
#
# Arguments are passed to every benchmark program (e.g. --benchmark_filter=Lock);
# `--build-only` builds them and stops (CI).
source "$(dirname "$0")/common.sh"

ensure_packages "${MORNIK_PACKAGES_BUILD[@]}" "${MORNIK_PACKAGES_BENCH[@]}"
build="${MORNIK_BUILD_DIR:-$MORNIK_ROOT/build/bench}"
mkdir -p "$(dirname "$build")"
configure_build "$build" -DCMAKE_BUILD_TYPE=Release \
  -DMORNIK_BUILD_TESTS=OFF -DMORNIK_BUILD_BENCH=ON -DMORNIK_BUILD_EXAMPLES=OFF
cmake --build "$build" -- -j"$(jobs_count)"
if [ "${1:-}" = --build-only ]; then
  echo "mornik: benchmarks built"
  exit 0
fi

goals="$(mktemp)"
trap 'rm -f "$goals"' EXIT
status=0
for program in "$build"/bench/mornik_bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$@" | tee -a "$goals" || status=1
done
echo
echo "== goals"
grep -o 'GOAL .*' "$goals" || echo "(no goals)"
exit "$status"
