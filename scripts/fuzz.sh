#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded
# time, starting from its seed corpus in fuzz/corpus/<Name>/. Fails on any
# finding (crash, hang, leak, undefined behaviour); the reproducer is kept in
# build/fuzz/findings/<Name>/.
#
#   scripts/fuzz.sh              every target, MORNIK_FUZZ_SECONDS each (default 600)
#   scripts/fuzz.sh Json Uuid    only these targets
source "$(dirname "$0")/common.sh"

ensure_packages "${MORNIK_PACKAGES_BUILD[@]}" "${MORNIK_PACKAGES_CI[@]}"
seconds="${MORNIK_FUZZ_SECONDS:-600}"
build="${MORNIK_BUILD_DIR:-$MORNIK_ROOT/build/fuzz}"
mkdir -p "$build"
MORNIK_CXX=clang++ configure_build "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DMORNIK_SANITIZE=address -DMORNIK_BUILD_FUZZ=ON \
  -DMORNIK_BUILD_TESTS=OFF -DMORNIK_BUILD_EXAMPLES=OFF -DMORNIK_BUILD_BENCH=OFF
cmake --build "$build" -- -j"$(jobs_count)"

targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(find "$MORNIK_ROOT/fuzz" -maxdepth 1 -name '*_fuzz.cpp' -printf '%f\n' |
    sed 's/_fuzz\.cpp$//' | sort)
fi

export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
status=0
for name in "${targets[@]}"; do
  corpus="$build/corpus/$name"      # grows; the repository's seeds stay as they are
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  log="$build/$name.log"
  echo "== fuzz $name (${seconds} s)"
  if "$build/fuzz/mornik_fuzz_$name" "$corpus" "$MORNIK_ROOT/fuzz/corpus/$name" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" | tr '\n' ' '
    echo
  else
    tail -n 60 "$log"
    echo "mornik: fuzz target $name found a problem; reproducer in $findings" >&2
    status=1
  fi
done
exit "$status"
