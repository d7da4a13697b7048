#!/usr/bin/env bash
# Installs the libraries from a build folder into a scratch prefix and builds
# small consumer programs against them, through find_package(mornik) and
# through pkg-config: a headless one that links only mornik and must load no
# desktop library (GIO, GStreamer, X11, GdkPixbuf), and one that links
# mornik-desktop, and one that links mornik-net. The host loops' library
# must be installed alongside: the CMake package is asked for its glib
# component, pkg-config for its file.
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
# Nor a toolkit's: the host loops' headers declare what they need.
if toolkit_users="$(grep -rlE '#include <(glib|gio/|Q[A-Za-z]+>|Qt[A-Za-z]*/)' "$prefix/include")"; then
  echo "mornik: installed headers include GLib or Qt: $toolkit_users" >&2
  exit 1
fi

configure_log="$work/consumer.configure.log"
cmake -S "$MORNIK_ROOT/tests/consumer" -B "$work/cmake" -G Ninja \
  -DCMAKE_CXX_COMPILER="${MORNIK_CXX:-c++}" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$configure_log" 2>&1 || { cat "$configure_log" >&2; exit 1; }
cmake --build "$work/cmake" >/dev/null

libdir="$(find "$prefix" -name 'libmornik.so' -printf '%h\n' | head -n1)"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exists mornik-glib || { echo "mornik: no mornik-glib.pc installed" >&2; exit 1; }
# shellcheck disable=SC2046
"${MORNIK_CXX:-c++}" -std=c++20 -o "$work/pkgconfig_consumer" "$MORNIK_ROOT/tests/consumer/main.cpp" \
  $(pkg-config --cflags --libs mornik) -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
"${MORNIK_CXX:-c++}" -std=c++20 -o "$work/pkgconfig_desktop_consumer" \
  "$MORNIK_ROOT/tests/consumer/desktop.cpp" $(pkg-config --cflags --libs mornik-desktop) \
  -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
"${MORNIK_CXX:-c++}" -std=c++20 -o "$work/pkgconfig_net_consumer" \
  "$MORNIK_ROOT/tests/consumer/net.cpp" $(pkg-config --cflags --libs mornik-net) \
  -Wl,-rpath,"$libdir"

# The headless programs: they run, name no desktop library, and load none.
desktop_libraries='lib(gio|glib|gobject|gst|X11|xcb|gdk_pixbuf|systemd|secret|mornik-desktop|curl|mornik-net|crypto|mornik-crypto)'
for program in "$work/cmake/mornik_consumer" "$work/pkgconfig_consumer"; do
  "$program"
  if readelf -d "$program" | grep NEEDED | grep -Eq "$desktop_libraries"; then
    echo "mornik: $program names a desktop library:" >&2
    readelf -d "$program" | grep NEEDED >&2
    exit 1
  fi
  if loaded="$(ldd "$program" | grep -E "$desktop_libraries")"; then
    echo "mornik: $program loads desktop libraries:" >&2
    echo "$loaded" >&2
    exit 1
  fi
done
for program in "$work/cmake/mornik_desktop_consumer" "$work/pkgconfig_desktop_consumer"; do
  "$program"
  ldd "$program" | grep -q 'libmornik-desktop' ||
    { echo "mornik: $program does not load mornik-desktop" >&2; exit 1; }
done
for program in "$work/cmake/mornik_net_consumer" "$work/pkgconfig_net_consumer"; do
  "$program"
  ldd "$program" | grep -q 'libcurl' ||
    { echo "mornik: $program does not load libcurl" >&2; exit 1; }
done
echo "mornik: install check passed (CMake package and pkg-config; mornik alone loads no" \
  "desktop library)"
