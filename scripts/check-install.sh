#!/usr/bin/env bash
# Installs the library from a build folder into a scratch prefix and builds a
# small consumer program against it twice: through find_package(mornik) and
# through pkg-config.
source "$(dirname "$0")/common.sh"

build="${1:-$MORNIK_ROOT/build/test}"
work="${MORNIK_INSTALL_CHECK_DIR:-$MORNIK_ROOT/build/install-check}"
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
if icu_users="$(grep -rl '#include <unicode/' "$prefix/include")"; then
  echo "mornik: installed headers include ICU: $icu_users" >&2
  exit 1
fi

configure_log="$work/consumer.configure.log"
cmake -S "$MORNIK_ROOT/tests/consumer" -B "$work/cmake" -G Ninja \
  -DCMAKE_CXX_COMPILER="${MORNIK_CXX:-c++}" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$configure_log" 2>&1 || { cat "$configure_log" >&2; exit 1; }
cmake --build "$work/cmake" >/dev/null
"$work/cmake/mornik_consumer"

libdir="$(find "$prefix" -name 'libmornik.so' -printf '%h\n' | head -n1)"
# shellcheck disable=SC2046
"${MORNIK_CXX:-c++}" -std=c++20 -o "$work/pkgconfig_consumer" "$MORNIK_ROOT/tests/consumer/main.cpp" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs mornik) -Wl,-rpath,"$libdir"
"$work/pkgconfig_consumer"
echo "mornik: install check passed (CMake package and pkg-config)"
