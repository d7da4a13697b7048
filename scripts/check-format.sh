#!/usr/bin/env bash
# Fails when a C++ source is not formatted as .clang-format says. The
# formatter is clang-format 16 (Debian 12's newest): it lays out requires
# clauses on their own lines, which 14 folds into the declaration.
# `scripts/check-format.sh --fix` formats the files in place instead.
source "$(dirname "$0")/common.sh"
cd "$MORNIK_ROOT"
ensure_packages clang-format-16
mapfile -t files < <(find mornik tests bench examples fuzz -name '*.hpp' -o -name '*.cpp' | sort)
if [ "${1:-}" = --fix ]; then
  clang-format-16 -i "${files[@]}"
  echo "mornik: formatted ${#files[@]} files"
  exit 0
fi
clang-format-16 --dry-run --Werror "${files[@]}"
echo "mornik: format check passed (${#files[@]} files)"
