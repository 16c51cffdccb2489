#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the program's sources with a build folder's compile
# commands: tools/lint.sh [build folder, default build/ci].
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
mapfile -t files < <(git ls-files '*.cpp' | grep -vE '^(tests|bench)/')
printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option
