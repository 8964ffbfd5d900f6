#!/usr/bin/env bash
# Proves that the tests catch faults: applies each realistic fault listed in
# scripts/mutants.txt, one at a time, to a scratch copy of the tree, rebuilds
# what changed, runs the tests the line names, and reports whether they
# caught it (killed) or not (survived). Not part of CI: it rebuilds once per
# fault. Run it before closing work that touches the places it lists.
#
#   scripts/mutants.sh [FILTER]    only the faults whose line contains FILTER
#
# A line of scripts/mutants.txt:  file | text | replacement | ctest regex
# The text must occur exactly once in the file. Lines starting with # are
# comments. SCRATCH names the scratch folder (default: a new temporary one,
# kept between runs when named, so the first build is paid once).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
filter=${1:-}
scratch=${SCRATCH:-$(mktemp -d "${TMPDIR:-/tmp}/pelvane-mutants.XXXXXX")}
mkdir -p "$scratch"

# The tree's files as they are now (committed or not), without build folders.
rm -rf "$scratch/src"
mkdir -p "$scratch/src"
git ls-files -co --exclude-standard | tar -cf - -T - | tar -xf - -C "$scratch/src"
cd "$scratch/src"
build=$scratch/build
echo "== building the untouched copy in $build"
cmake -S . -B "$build" -G Ninja -DPELVANE_WIZARD=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  $(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

killed=0
survived=0
broken=0
results=()
while IFS='|' read -r file text replacement tests; do
  file=$(echo "$file" | xargs)
  [ -z "$file" ] || [[ $file == \#* ]] && continue
  line="$file |$text|$replacement| $tests"
  [ -n "$filter" ] && [[ $line != *"$filter"* ]] && continue
  text=${text# }
  text=${text% }
  replacement=${replacement# }
  replacement=${replacement% }
  tests=$(echo "$tests" | xargs)
  count=$(grep -cF -- "$text" "$file" || true)
  if [ "$count" != 1 ]; then
    results+=("BROKEN    $file: the text occurs $count times: $text")
    broken=$((broken + 1))
    continue
  fi
  cp "$file" "$file.orig"
  TEXT=$text REPLACEMENT=$replacement python3 - "$file" <<'PY'
import os, sys
path = sys.argv[1]
with open(path) as f:
    source = f.read()
with open(path, "w") as f:
    f.write(source.replace(os.environ["TEXT"], os.environ["REPLACEMENT"], 1))
PY
  if ! cmake --build "$build" -j "$(nproc)" >"$scratch/build.log" 2>&1; then
    verdict="KILLED    (does not build)"
    killed=$((killed + 1))
  elif ctest --test-dir "$build" -j "$(nproc)" -R "$tests" --timeout 120 >"$scratch/test.log" 2>&1; then
    verdict="SURVIVED"
    survived=$((survived + 1))
  else
    verdict="KILLED   "
    killed=$((killed + 1))
  fi
  results+=("$verdict $file: $text -> $replacement")
  echo "${results[-1]}"
  mv "$file.orig" "$file"
done <"$top/scripts/mutants.txt"
# Back to the untouched build, so the next run starts from it.
cmake --build "$build" -j "$(nproc)" >/dev/null

echo
echo "== $killed killed, $survived survived, $broken not applied (of $((killed + survived + broken)))"
printf '%s\n' "${results[@]}" | grep -v '^KILLED' || true
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
