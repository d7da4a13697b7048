#!/usr/bin/env bash
# Fails when a C++ source is not formatted as .clang-format says.
source "$(dirname "$0")/common.sh"
cd "$MORNIK_ROOT"
mapfile -t files < <(find mornik tests bench examples -name '*.hpp' -o -name '*.cpp' | sort)
clang-format --dry-run --Werror "${files[@]}"
echo "mornik: format check passed (${#files[@]} files)"
