#!/usr/bin/env bash
# Applies each plausible fault listed in scripts/mutants.txt, one at a time,
# to a scratch copy of the tree (build/mutants/tree), builds it with the
# native preset and runs the native suite. A fault that no test notices
# survives; every fault on the list must be killed.
#   scripts/mutants.sh [WORD]     only the faults whose description holds WORD
# Exit status: 0 when all were killed, 1 when one survived or could not be
# applied or built.
set -euo pipefail
cd "$(dirname "$0")/.."
filter=${1:-}
list=scripts/mutants.txt
tree=build/mutants/tree
log=build/mutants/log
mkdir -p "$tree" "$log"
rm -f "$log/files.new"

# The working tree as it is (tracked and new files, not ignored ones), over
# the scratch copy. Only files that differ are copied, so that its build
# directory builds only what changed, a source restored after a fault included.
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  printf '%s\n' "$f" >>"$log/files.new"
  cmp -s "$f" "$tree/$f" || { mkdir -p "$tree/$(dirname "$f")" && cp "$f" "$tree/$f"; }
done
(cd "$tree" && find . -path ./build -prune -o -type f -print | sed 's|^\./||') | sort >"$log/files.old"
sort "$log/files.new" | comm -13 - "$log/files.old" | (cd "$tree" && xargs -r rm -f --)
rm -f "$log/files.new" "$log/files.old"

# Runs the shell command $3 in a process group of its own, its output to $2,
# for at most $1 seconds (0: as long as it takes); the whole group is ended
# when the time is up (status 124).
bounded() {
  local seconds=$1 out=$2
  setsid bash -c "$3" </dev/null >"$out" 2>&1 &
  local pid=$! tenths=0
  while kill -0 "$pid" 2>/dev/null; do
    if ((seconds && tenths >= seconds * 10)); then
      kill -KILL -- "-$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      return 124
    fi
    sleep 0.1
    tenths=$((tenths + 1))
  done
  wait "$pid"
}

build="cd $tree && cmake --preset native >/dev/null && cmake --build --preset native"
suite="cd $tree && ctest --preset native -j2 --stop-on-failure"

# Replaces the one line of $1 whose text is $2 (indentation aside) with $3,
# keeping its indentation; an empty $3 removes the line.
apply() {
  python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
with open(path) as f:
    lines = f.read().split("\n")
hits = [i for i, line in enumerate(lines) if line.strip() == old.strip()]
if len(hits) != 1:
    sys.exit(f"{len(hits)} lines of {path} read '{old.strip()}'")
line = lines[hits[0]]
if new.strip():
    lines[hits[0]] = line[: len(line) - len(line.lstrip())] + new.strip()
else:
    del lines[hits[0]]
with open(path, "w") as f:
    f.write("\n".join(lines))
EOF
}

# The first test that failed, from ctest's progress lines (a skipped test
# is marked the same way, and is no failure).
first_failure() {
  local name
  name=$(grep -v '\*\*\*Skipped' "$1" | grep -m1 -E 'Test +#[0-9]+: .*\*\*\*' |
    sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*/\1 (\2)/' || true)
  echo "${name:-no test that finished}"
}

# A build ends by itself. A suite that hangs is ended: after three times as
# long as the unchanged tree's suite took here, plus the longest one test may
# take before ctest ends it (the native test preset's time-out).
echo "mutants: building the unchanged tree"
bounded 0 "$log/build-0.txt" "$build" || { echo "mutants: the unchanged tree does not build ($log/build-0.txt)"; exit 1; }
start=$SECONDS
bounded 0 "$log/suite-0.txt" "$suite" || { echo "mutants: the unchanged tree fails its suite ($log/suite-0.txt)"; exit 1; }
test_timeout=$(python3 -c 'import json; print(next(p["execution"]["timeout"] for p in json.load(open("CMakePresets.json"))["testPresets"] if p["name"] == "native"))')
suite_limit=$((3 * (SECONDS - start) + test_timeout))
echo "mutants: the unchanged suite took $((SECONDS - start)) s; a mutant's suite is ended after $suite_limit s"

killed=0 survived=0 broken=0 number=0
file="" why="" old=""
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    "@ "*) file=${line#@ }; why=${file#*: }; file=${file%%: *} ;;
    -*) old=${line#-} ;;
    +*)
      new=${line#+}
      [ -z "$filter" ] || [[ "$why" == *"$filter"* ]] || continue
      [ -n "$file" ] && [ -n "$old" ] || { echo "mutants: $list: an entry without its file or line"; exit 1; }
      number=$((number + 1))
      source="$tree/$file"
      cp "$source" "$log/original"
      start=$SECONDS
      if ! message=$(apply "$source" "$old" "$new" 2>&1); then
        result="NOT APPLIED ($message)"
        broken=$((broken + 1))
      elif ! bounded 0 "$log/build-$number.txt" "$build"; then
        result="DOES NOT BUILD ($log/build-$number.txt)"
        broken=$((broken + 1))
      else
        status=0
        bounded "$suite_limit" "$log/suite-$number.txt" "$suite" || status=$?
        if ((status == 0)); then
          result="SURVIVED"
          survived=$((survived + 1))
        elif ((status == 124)); then
          result="killed by $(first_failure "$log/suite-$number.txt"), the suite hung"
          killed=$((killed + 1))
        else
          result="killed by $(first_failure "$log/suite-$number.txt")"
          killed=$((killed + 1))
        fi
      fi
      cp "$log/original" "$source"
      printf '%2d %-29s %s: %s (%d s)\n' "$number" "$file" "$why" "$result" $((SECONDS - start))
      file="" old=""
      ;;
  esac
done <"$list"
echo "mutants: $number applied: $killed killed, $survived survived, $broken not applied or not built"
((survived == 0 && broken == 0))
