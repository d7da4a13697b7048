#!/usr/bin/env bash
# Shared by the README's commands and CI: where things are, which Debian
# packages each step needs, and a quiet installer for the missing ones.
set -euo pipefail

MORNIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export MORNIK_ROOT

# Building the library and the demo.
# The desktop adapters need GIO, GStreamer (with playbin), GdkPixbuf and Xlib.
MORNIK_PACKAGES_BUILD=(cmake ninja-build g++ pkg-config libicu-dev nlohmann-json3-dev
  libglib2.0-dev libgstreamer1.0-dev gstreamer1.0-plugins-base libx11-dev shared-mime-info
  libgdk-pixbuf-2.0-dev)
# The HTTP client adapter (mornik-net).
MORNIK_PACKAGES_BUILD+=(libcurl4-openssl-dev)
# Building and running the tests; the desktop tests run their own private
# desktop: a session bus (dbus-run-session), Xvfb, fake applications
# (update-desktop-database), xclip, weston with wl-clipboard, zenity driven
# by xdotool, GStreamer's wavenc measured with sox, the freedesktop sounds,
# the Adwaita and hicolor icon themes that file icons are looked up in,
# GdkPixbuf's SVG loader, XFixes to watch the clipboard's owner.
MORNIK_PACKAGES_TEST=(libgtest-dev libgmock-dev dbus-daemon xvfb desktop-file-utils xclip libxfixes-dev
  xdotool zenity weston wl-clipboard gstreamer1.0-plugins-good sox sound-theme-freedesktop
  adwaita-icon-theme hicolor-icon-theme librsvg2-common)
# The HTTP tests' local server (cpp-httplib) and its self-signed certificate.
MORNIK_PACKAGES_TEST+=(libcpp-httplib-dev openssl)
# Building and running the benchmarks (anchors included; the clipboard
# benchmark starts Xvfb).
MORNIK_PACKAGES_BENCH=(libbenchmark-dev libtbb-dev libboost-dev libglib2.0-dev xvfb desktop-file-utils)
# The HTTP benchmark's local server.
MORNIK_PACKAGES_BENCH+=(libcpp-httplib-dev)
# The extra CI steps: clang for the ThreadSanitizer build, the format check.
MORNIK_PACKAGES_CI=(clang libclang-rt-14-dev clang-format-16 clang-tidy)

# ensure_packages PKG...: installs the packages that are not installed yet,
# with sudo when not root. Silent when everything is present.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  ((${#missing[@]} == 0)) && return 0
  echo "mornik: installing ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  local log
  log="$(mktemp)"
  if ! { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "mornik: could not install ${missing[*]}" >&2
    return 1
  fi
  rm -f "$log"
}

# configure_build DIR [CMAKE_ARGS...]: configures a Ninja build in DIR. The
# compiler comes from MORNIK_CXX (default: c++).
configure_build() {
  local dir="$1"
  shift
  cmake -S "$MORNIK_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_CXX_COMPILER="${MORNIK_CXX:-c++}" \
    -DMORNIK_WERROR="${MORNIK_WERROR:-OFF}" \
    "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; return 1; }
}

jobs_count() { nproc 2>/dev/null || echo 2; }
