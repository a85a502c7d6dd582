#!/bin/sh
# Checks that the C++ sources follow the checked-in .clang-format; prints
# what would change and fails if anything would. Fix with:
#   clang-format -i $(git ls-files 'src/*.cpp' 'src/*.h' ...)
set -e
cd "$(dirname "$0")/.."
files=$(find src tests fuzz -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
