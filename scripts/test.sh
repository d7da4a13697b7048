#!/usr/bin/env bash
# Builds the library and every test, then runs them all with CTest.
#
# Environment: MORNIK_SANITIZE=thread|address for a sanitizer build,
# MORNIK_CXX for the compiler, MORNIK_WERROR=ON to fail on warnings,
# MORNIK_BUILD_DIR for the build folder, MORNIK_CMAKE_ARGS for more
# configure arguments. Extra arguments go to ctest.
source "$(dirname "$0")/common.sh"

ensure_packages "${MORNIK_PACKAGES_BUILD[@]}" "${MORNIK_PACKAGES_TEST[@]}"
sanitize="${MORNIK_SANITIZE:-}"
build="${MORNIK_BUILD_DIR:-$MORNIK_ROOT/build/test${sanitize:+-$sanitize}}"
mkdir -p "$(dirname "$build")"
configure_build "$build" -DCMAKE_BUILD_TYPE=Debug -DMORNIK_SANITIZE="$sanitize" \
  -DMORNIK_BUILD_TESTS=ON -DMORNIK_BUILD_BENCH=OFF -DMORNIK_BUILD_EXAMPLES=ON \
  ${MORNIK_CMAKE_ARGS:-}
cmake --build "$build" -- -j"$(jobs_count)"

runner=()
if [ "$sanitize" = thread ]; then
  # ThreadSanitizer needs a predictable address-space layout on kernels with
  # high mmap randomisation.
  runner=(setarch "$(uname -m)" -R)
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
elif [ "$sanitize" = address ]; then
  export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
fi
"${runner[@]}" ctest --test-dir "$build" --output-on-failure -j"$(jobs_count)" "$@"
