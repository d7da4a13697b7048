#!/usr/bin/env bash
# Builds the library and runs the demo, a short tour of what it does.
source "$(dirname "$0")/common.sh"

ensure_packages "${MORNIK_PACKAGES_BUILD[@]}"
# The spreadsheet client's section of the tour starts a local server.
ensure_packages libcpp-httplib-dev
build="${MORNIK_BUILD_DIR:-$MORNIK_ROOT/build/demo}"
mkdir -p "$(dirname "$build")"
configure_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORNIK_BUILD_TESTS=OFF -DMORNIK_BUILD_BENCH=OFF -DMORNIK_BUILD_EXAMPLES=ON
cmake --build "$build" --target mornik_demo -- -j"$(jobs_count)" >"$build.build.log" 2>&1 \
  || { cat "$build.build.log" >&2; exit 1; }
exec "$build/examples/mornik_demo" "$@"
