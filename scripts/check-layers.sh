#!/usr/bin/env bash
# Fails on an include that breaks the library's layering (docs/ARCHITECTURE.md):
# a folder includes only its own headers and the public headers of the folders
# below it, never another folder's detail/; only platform/ includes the desktop
# system's headers; no installed header reaches ICU.
set -euo pipefail
cd "$(dirname "$0")/.."

# The layers, lowest first: each folder may include the folders before it.
# Within flow/ the order is core, observe, signal, future, pool, document.
layers=(base concurrency fileio text reactor settings
  flow/core flow/observe flow/signal flow/future flow/pool flow/document platform)
declare -A allowed=()
below=""
for layer in "${layers[@]}"; do
  allowed[$layer]="$below"
  below="$below $layer"
done
# The leaf subsystems stand on every layer; a leaf lists another leaf only
# where it builds on it.
for leaf in ui process time crypto log net desktop files; do
  allowed[$leaf]="$below"
done
# The debug printers and the loggers are a leaf the others print through.
for leaf in process time crypto net desktop files; do
  allowed[$leaf]+=" log"
done

# The desktop system's own headers: only platform/ adapters include them.
# Qt's headers count as such (<QObject>, <QtCore/...>).
system_headers='^#include <(gio/|glib|gdk|libsecret/|X11/|gst/|curl/|systemd/|dbus/|Q[A-Za-z]+>|Qt[A-Za-z]*/)'

status=0
fail() {
  echo "check-layers: $*" >&2
  status=1
}

# Sets `folder`: mornik/flow/pool/detail/X.hpp -> flow/pool (no subshell: this
# runs for every include of every file).
folder_of() {
  folder="${1#mornik/}"
  folder="${folder%/*}"
  folder="${folder%/detail}"
}

while IFS= read -r file; do
  folder_of "$file"
  from="$folder"
  if [ -z "${allowed[$from]+x}" ]; then
    fail "$file: folder '$from' has no place in the layers (add it to scripts/check-layers.sh and docs/ARCHITECTURE.md)"
    continue
  fi
  while IFS= read -r target; do
    [ "$target" = mornik/version.hpp ] && continue  # generated; for every folder
    folder_of "$target"
    to="$folder"
    [ "$to" = "$from" ] && continue
    case "${target%/*}" in
      */detail) fail "$file includes another folder's detail header $target" ;;
    esac
    if ! [[ " ${allowed[$from]} " == *" $to "* ]]; then
      fail "$file ($from) includes $target ($to), which is not below it"
    fi
  done < <(sed -n 's/^#include "\(mornik\/[^"]*\)".*/\1/p' "$file")
  if [ "$from" != platform ] && grep -Eq "$system_headers" "$file"; then
    fail "$file includes a desktop system header; only platform/ may"
  fi
done < <(find mornik -name '*.hpp' -o -name '*.cpp' | sort)

# A source that includes a desktop system header is built into the desktop
# library only: the base library loads none of them.
desktop_sources="$(sed -n '/^add_library(mornik-desktop SHARED/,/^)/p' mornik/CMakeLists.txt)"
# The host loops' libraries name their one source each on one line.
desktop_sources+=$'\n'"$(sed -n 's/^ *add_library(mornik-\(glib\|qt\) SHARED \([^ )]*\))$/  \2/p' \
  mornik/CMakeLists.txt)"
while IFS= read -r source; do
  name="${source#mornik/}"
  if ! grep -qx "  $name" <<<"$desktop_sources"; then
    fail "$source includes a desktop system header but is not a source of mornik-desktop, mornik-glib or mornik-qt"
  fi
done < <(grep -rlE --include='*.cpp' "$system_headers" mornik | xargs -r grep -LE '^#include <curl/' | sort)
# libcurl goes into the net library only.
net_sources="$(sed -n '/^add_library(mornik-net SHARED/,/^)/p' mornik/CMakeLists.txt)"
while IFS= read -r source; do
  name="${source#mornik/}"
  if ! grep -qx "  $name" <<<"$net_sources"; then
    fail "$source includes libcurl but is not a source of mornik-net"
  fi
done < <(grep -rlE --include='*.cpp' '^#include <curl/' mornik | sort)

# OpenSSL stays inside mornik-crypto: only crypto/ sources include it, and no
# header does, so programs of the other libraries never reach libcrypto.
while IFS= read -r source; do
  case "$source" in
    mornik/crypto/*.cpp | mornik/crypto/detail/*.cpp) ;;
    *) fail "$source includes OpenSSL; only the sources of crypto/ may" ;;
  esac
done < <(grep -rlE '^#include <openssl/' mornik | sort)

# Installed headers must not reach ICU: a header that includes it is private
# to its folder's sources (the install rule leaves such headers out).
while IFS= read -r header; do
  name="${header#mornik/}"
  if ! [[ "$(dirname "$name")" == */detail ]]; then
    fail "$header includes ICU; only a private detail/ header may"
    continue
  fi
  if grep -rlq --include='*.hpp' "#include \"$header\"" mornik; then
    fail "$header includes ICU and is itself included by a header: $(grep -rl --include='*.hpp' "#include \"$header\"" mornik | tr '\n' ' ')"
  fi
done < <(grep -rlE --include='*.hpp' '^#include <unicode/' mornik | sort)

# The library is built with hidden visibility: an installed header exports
# its declarations by wrapping them in MORNIK_EXPORTS_BEGIN/END.
while IFS= read -r header; do
  [ "$header" = mornik/base/Export.hpp ] && continue
  grep -q '^#include <unicode/' "$header" && continue  # private, not installed
  if ! grep -q '^MORNIK_EXPORTS_BEGIN' "$header" || ! grep -q '^MORNIK_EXPORTS_END' "$header"; then
    fail "$header: its declarations are not between MORNIK_EXPORTS_BEGIN and MORNIK_EXPORTS_END"
  fi
done < <(find mornik -name '*.hpp' | sort)

exit "$status"
