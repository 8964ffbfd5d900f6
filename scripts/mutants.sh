#!/usr/bin/env bash
# Proves that the tests catch faults: applies each realistic fault listed in
# scripts/mutants.txt, one at a time, to a scratch copy of the tree, rebuilds
# what changed, runs the tests the line names, and reports whether they
# caught it (killed) or not (survived). Not part of CI: it rebuilds once per
# fault. Run it before closing work that touches the places it lists.
#
#   scripts/mutants.sh [FILTER...]   only the faults whose line contains a FILTER
#
# A line of scripts/mutants.txt:  file | text | replacement | ctest regex
# The text must occur exactly once in the file. Lines starting with # are
# comments. SCRATCH names the scratch folder (default: a new temporary one,
# kept between runs when named, so the first build is paid once).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
filters=("$@")
scratch=${SCRATCH:-$(mktemp -d "${TMPDIR:-/tmp}/pelvane-mutants.XXXXXX")}
mkdir -p "$scratch"

# The tree's files as they are now (committed or not), without build folders.
# Only a file whose content differs from the copy's is written, and so gets a
# new time: the kept build then rebuilds what changed, and all of it.
mkdir -p "$scratch/src"
git ls-files -co --exclude-standard -z >"$scratch/files"
python3 - "$scratch/files" "$scratch/src" <<'PY'
import os, shutil, sys
listing, copy = sys.argv[1], sys.argv[2]
with open(listing, "rb") as f:
    names = [n for n in f.read().decode().split("\0") if n and os.path.isfile(n)]
for name in names:
    target = os.path.join(copy, name)
    with open(name, "rb") as f:
        data = f.read()
    if os.path.isfile(target):
        with open(target, "rb") as f:
            if f.read() == data:
                continue
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)
    shutil.copymode(name, target)
kept = set(names)
for folder, _, files in os.walk(copy):
    for file in files:
        path = os.path.join(folder, file)
        if os.path.relpath(path, copy) not in kept:
            os.remove(path)
PY
cd "$scratch/src"
build=$scratch/build
echo "== building the untouched copy in $build"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # As scripts/build.sh does, so that the copy shares the tree's cache.
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$build" -G Ninja -DPELVANE_WIZARD=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

# The test programs whose cases a ctest regex names (with what they depend
# on): a fault rebuilds only these, not the whole tree.
programs() {
  ctest --test-dir "$build" -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: \([^. ]*\)\..*/\1/p' |
    sort -u | while read -r name; do
    if [ -x "$build/bin/$name" ]; then echo "--target $name"; fi
  done
}

killed=0
survived=0
broken=0
results=()
# Blanks around a field go; quotes stay as they are (no xargs).
trim() {
  local text=${1#"${1%%[![:space:]]*}"}
  echo "${text%"${text##*[![:space:]]}"}"
}
while IFS='|' read -r file text replacement tests; do
  file=$(trim "$file")
  [ -z "$file" ] || [[ $file == \#* ]] && continue
  line="$file |$text|$replacement| $tests"
  if [ ${#filters[@]} -gt 0 ]; then
    wanted=false
    for filter in "${filters[@]}"; do [[ $line == *"$filter"* ]] && wanted=true; done
    $wanted || continue
  fi
  text=${text# }
  text=${text% }
  replacement=${replacement# }
  replacement=${replacement% }
  tests=$(trim "$tests")
  count=$(grep -cF -- "$text" "$file" || true)
  if [ "$count" != 1 ]; then
    results+=("BROKEN    $file: the text occurs $count times: $text")
    broken=$((broken + 1))
    continue
  fi
  targets=$(programs "$tests")
  if [ -z "$targets" ]; then
    results+=("BROKEN    $file: no test matches $tests")
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
  # shellcheck disable=SC2086 # one word per target option
  if ! cmake --build "$build" -j "$(nproc)" $targets >"$scratch/build.log" 2>&1; then
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
  # Touched, so that the next build compiles the original again: the copy's
  # time is older than the mutant's objects.
  mv "$file.orig" "$file"
  touch "$file"
done <"$top/scripts/mutants.txt"
echo
echo "== $killed killed, $survived survived, $broken not applied (of $((killed + survived + broken)))"
printf '%s\n' "${results[@]}" | grep -v '^KILLED' || true
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
