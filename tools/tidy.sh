#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the C++ sources, with the compile commands
# of a CMake configure of its own (build/tidy: configured, never built).
#   tools/tidy.sh          the files changed since the merge-base with main (a changed
#                          header brings in the sources that include it); none: done
#   tools/tidy.sh --all    every source file
#   tools/tidy.sh FILE...  the files named
# Environment: CLANG_TIDY (the binary), TIDY_BASE (the branch to compare with, default
# main, else origin/main), PYTHON (the interpreter whose pybind11 and headers the
# extension modules build against), JOBS (parallel runs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

major=19
tidy=${CLANG_TIDY:-}
if [ -z "$tidy" ]; then
  for candidate in "clang-tidy-$major" clang-tidy; do
    if command -v "$candidate" >/dev/null 2>&1; then tidy=$candidate; break; fi
  done
fi
if [ -z "$tidy" ]; then
  echo "tidy: clang-tidy $major not found (apt-get install clang-tidy-$major)" >&2
  exit 2
fi
py=${PYTHON:-python3}
jobs=${JOBS:-2}

# Which files: C++ sources and headers under src/ and tests/cpp.
is_cpp() { [[ $1 =~ ^(src|tests/cpp)/.*\.(cpp|hpp|h)$ ]]; }
declare -a wanted=()
case "${1:-}" in
  --all) mode=all ;;
  "")
    mode=changed
    base=${TIDY_BASE:-}
    if [ -z "$base" ]; then
      for ref in main origin/main; do
        if git rev-parse -q --verify "$ref^{commit}" >/dev/null; then base=$ref; break; fi
      done
    fi
    if [ -z "$base" ]; then
      echo "tidy: no main branch to compare with (set TIDY_BASE, or use --all)" >&2
      exit 2
    fi
    fork=$(git merge-base HEAD "$base")
    while IFS= read -r f; do
      if is_cpp "$f" && [ -f "$f" ]; then wanted+=("$f"); fi
    done < <(git diff --name-only --diff-filter=d "$fork" -- src tests/cpp)
    if [ "${#wanted[@]}" -eq 0 ]; then
      echo "tidy: no C++ file changed since $base ($(git rev-parse --short "$fork"))"
      exit 0
    fi
    ;;
  -*) echo "usage: tools/tidy.sh [--all | FILE...]" >&2; exit 2 ;;
  *) mode=named; wanted=("$@") ;;
esac

# The compile commands: the core, its tests and every extension module.
build=build/tidy
pybind11_dir=$("$py" -c "import pybind11; print(pybind11.get_cmake_dir())")
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Release \
      -DMERIDAN_BUILD_PYTHON=ON -DMERIDAN_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v "$py")" \
      -Dpybind11_DIR="$pybind11_dir" >/dev/null

# The translation units to check: a source itself, or for a header every source that
# includes it (by its path below src/core or src/bindings, or its name beside it).
mapfile -t sources < <("$py" - "$build/compile_commands.json" <<'PY'
import json, sys
for entry in json.load(open(sys.argv[1])):
    print(entry["file"])
PY
)
declare -A chosen=()
if [ "$mode" = all ]; then
  for s in "${sources[@]}"; do chosen["$s"]=1; done
else
  for f in "${wanted[@]}"; do
    path=$(realpath -m "$f")
    case "$f" in
      *.cpp)
        if printf '%s\n' "${sources[@]}" | grep -qxF "$path"; then
          chosen["$path"]=1
        else
          echo "tidy: $f is not compiled by any target; skipped" >&2
        fi ;;
      *)
        rel=${f#src/core/}; rel=${rel#src/bindings/}; name=$(basename "$f")
        for s in "${sources[@]}"; do
          if grep -qE "#include \"($rel|$name)\"" "$s"; then chosen["$s"]=1; fi
        done ;;
    esac
  done
fi
if [ "${#chosen[@]}" -eq 0 ]; then
  echo "tidy: nothing to check"
  exit 0
fi
mapfile -t units < <(printf '%s\n' "${!chosen[@]}" | sort)
echo "tidy: $tidy over ${#units[@]} file(s)"

# One clang-tidy per unit, $jobs at a time; any finding (warnings are errors in
# .clang-tidy) fails the run once all have been checked.
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c '
  out="$2/$(echo "$1" | tr / _).log"
  if ! "$0" -p "$3" --quiet "$1" >"$out" 2>&1; then echo "$1" >>"$2/failed"; fi
' "$tidy" {} "$log" "$top/$build"
# clang-tidy prints a count of suppressed warnings on every unit; only findings matter.
cat "$log"/*.log | grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' \
                 | grep -vE '^Suppressed [0-9]+ warnings|^Use -header-filter|^$' || true
if [ -f "$log/failed" ]; then
  echo "tidy: findings in $(wc -l <"$log/failed") file(s)" >&2
  exit 1
fi
echo "tidy: clean"
