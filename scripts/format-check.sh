#!/usr/bin/env bash
# Fails, naming the files and lines, when a C++ file of the tree is not in the style .clang-format
# gives it. `clang-format -i FILE` puts a file right.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-format
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files in the tree's style"
