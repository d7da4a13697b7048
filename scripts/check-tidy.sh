#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the library sources changed since a base
# commit, and fails on any finding, also in the library headers they include.
# CI checks what changed since the commit named in .ci/tidy-base; the tree
# as a whole is not clean yet (`--all` shows what remains), so a change is
# held to the checks where it lands.
#
#   scripts/check-tidy.sh            files changed since .ci/tidy-base
#   scripts/check-tidy.sh REF        files changed since REF
#   scripts/check-tidy.sh --all      every source (slow: about 20 s of CPU per file)
#
# Needs a configured build for compile_commands.json (MORNIK_BUILD_DIR,
# default build/test).
source "$(dirname "$0")/common.sh"
cd "$MORNIK_ROOT"

build="${MORNIK_BUILD_DIR:-$MORNIK_ROOT/build/test}"
[ -f "$build/compile_commands.json" ] || {
  echo "mornik: no $build/compile_commands.json; run scripts/test.sh first" >&2
  exit 1
}

mapfile -t all < <(find mornik -name '*.cpp' | sort)
if [ "${1:-}" = --all ]; then
  files=("${all[@]}")
else
  base="${1:-$(cat .ci/tidy-base)}"
  if ! git cat-file -e "$base^{commit}" 2>/dev/null; then
    echo "mornik: tidy base $base is not in this checkout's history; checking every source" >&2
    files=("${all[@]}")
  else
    # A changed header is checked through the source of the same name.
    mapfile -t changed < <(git diff --name-only "$base" -- 'mornik/*.cpp' 'mornik/*.hpp' | sed 's/\.hpp$/.cpp/' | sort -u)
    files=()
    for file in "${changed[@]}"; do
      [ -f "$file" ] && files+=("$file")
    done
  fi
fi

if ((${#files[@]} == 0)); then
  echo "mornik: tidy check: nothing changed"
  exit 0
fi
echo "mornik: tidy check of ${#files[@]} files"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
printf '%s\n' "${files[@]}" |
  xargs -P "$(jobs_count)" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1 || {
  grep -E -A3 '(warning|error):' "$log" >&2
  echo "mornik: clang-tidy found problems" >&2
  exit 1
}
echo "mornik: tidy check passed"
