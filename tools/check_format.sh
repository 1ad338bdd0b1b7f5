#!/usr/bin/env bash
# Checks that the C++ sources keep the layout .clang-format declares; with --fix, rewrites
# them into it. The layout a clang-format release produces changes between major versions,
# so the version is held (CLANG_FORMAT names another binary when needed).
#   tools/check_format.sh          list every line out of layout; fails if there is one
#   tools/check_format.sh --fix    format the files in place
set -euo pipefail
cd "$(dirname "$0")/.."

major=19
tool=${CLANG_FORMAT:-}
if [ -z "$tool" ]; then
  for candidate in "clang-format-$major" clang-format; do
    if command -v "$candidate" >/dev/null 2>&1; then tool=$candidate; break; fi
  done
fi
if [ -z "$tool" ]; then
  echo "check_format: clang-format $major not found (apt-get install clang-format-$major)" >&2
  exit 2
fi
found=$("$tool" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [ "$found" != "$major" ] && [ -z "${CLANG_FORMAT:-}" ]; then
  echo "check_format: $tool is version $found; the layout is held to $major" >&2
  exit 2
fi

mode=check
case "${1:-}" in
  "") ;;
  --fix) mode=fix ;;
  *) echo "usage: tools/check_format.sh [--fix]" >&2; exit 2 ;;
esac

# Tracked files and new ones not yet added (but not ignored ones such as build/).
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
                       'src/*.cpp' 'src/*.hpp' 'src/*.h' \
                       'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'tests/cpp/*.h')
if [ "${#files[@]}" -eq 0 ]; then
  echo "check_format: no C++ files" >&2
  exit 2
fi

if [ "$mode" = fix ]; then
  "$tool" -i --style=file "${files[@]}"
  echo "formatted ${#files[@]} files with $tool"
else
  # --dry-run prints each offending place; -Werror turns them into a failure.
  "$tool" --dry-run -Werror --style=file "${files[@]}"
  echo "${#files[@]} files keep the layout ($tool)"
fi
