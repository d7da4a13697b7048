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
# crypto/ seals with OpenSSL's libcrypto; the secret store speaks libsecret.
MORNIK_PACKAGES_BUILD+=(libssl-dev libsecret-1-dev)
# The HTTP client adapter (mornik-net).
MORNIK_PACKAGES_BUILD+=(libcurl4-openssl-dev)
# Building and running the tests; the desktop tests run their own private
# desktop: a session bus (dbus-run-session), Xvfb, fake applications
# (update-desktop-database), xclip, weston with wl-clipboard, zenity driven
# by xdotool, GStreamer's wavenc measured with sox, the freedesktop sounds,
# the Adwaita and hicolor icon themes that file icons are looked up in,
# GdkPixbuf's SVG loader, XFixes to watch the clipboard's owner; Qt 6 Core
# for the Qt host loop's library and tests.
MORNIK_PACKAGES_TEST=(libgtest-dev libgmock-dev dbus-daemon xvfb desktop-file-utils xclip libxfixes-dev
  xdotool zenity weston wl-clipboard gstreamer1.0-plugins-good sox sound-theme-freedesktop
  adwaita-icon-theme hicolor-icon-theme librsvg2-common
  qt6-base-dev)
# The colour and attributed-text tests read markup back with Pango and check
# the CSS colours against node-color-name's table (tests only).
MORNIK_PACKAGES_TEST+=(libpango1.0-dev node-color-name)
# The keychain tests: a real gnome-keyring-daemon, secret-tool and gdbus.
MORNIK_PACKAGES_TEST+=(gnome-keyring libsecret-tools libglib2.0-bin)
# Building and running the benchmarks (anchors included; the clipboard
# benchmark starts Xvfb).
MORNIK_PACKAGES_BENCH=(libbenchmark-dev libtbb-dev libboost-dev libglib2.0-dev xvfb desktop-file-utils
  qt6-base-dev)
# The colour parsing benchmark's anchor is Pango's parser.
MORNIK_PACKAGES_BENCH+=(libpango1.0-dev)
# The system journal: libsystemd for the desktop library's journal sink; the
# logger's tests and benchmark run their own systemd-journald.
MORNIK_PACKAGES_BUILD+=(libsystemd-dev)
MORNIK_PACKAGES_TEST+=(systemd util-linux)
MORNIK_PACKAGES_BENCH+=(systemd util-linux libspdlog-dev)
# The HTTP tests' local server (cpp-httplib) and its self-signed certificate.
MORNIK_PACKAGES_TEST+=(libcpp-httplib-dev openssl)
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
