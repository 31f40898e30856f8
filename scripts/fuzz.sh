#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each for a bounded time from a
# copy of its seed corpus, so the repository's corpus never grows.
#
#   bash scripts/fuzz.sh [seconds per target] [target...]
#
# Environment: FUZZ_BUILD (build folder, default build-fuzz), JOBS (default 2), FUZZ_RSS_MB (memory
# limit per target, default 2048), FUZZ_TIMEOUT (seconds one input may take, default 20).
# Exits non-zero when a target crashes, leaks, times out or runs out of memory, and prints the
# path of the input that did it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-fuzz}"
jobs="${JOBS:-2}"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_ini fuzz_textfile fuzz_cp1252 fuzz_memo)
rss_mb="${FUZZ_RSS_MB:-2048}"
timeout_s="${FUZZ_TIMEOUT:-20}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQUINDLE_FUZZ=ON -DBUILD_TESTING=OFF -DQUINDLE_BENCH=OFF \
  -DQUINDLE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
failed=0
summary=()
built=()
for target in "${targets[@]}"; do
  if cmake --build "$build" --target "$target" -j"$jobs"; then
    built+=("$target")
  else
    failed=1
    summary+=("$target: not built")
  fi
done

# The targets write their files under TMPDIR: memory is much faster than disk for that.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work="$(mktemp -d /dev/shm/quindle-fuzz.XXXXXX)"
else
  work="$(mktemp -d)"
fi
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for target in "${built[@]}"; do
  name="${target#fuzz_}"
  corpus="$work/corpus-$name"
  mkdir -p "$corpus" "$work/tmp-$name"
  if [ -d "$root/tests/fuzz/corpus/$name" ]; then
    cp -r "$root/tests/fuzz/corpus/$name/." "$corpus/"
  fi
  options=(-max_total_time="$seconds" -rss_limit_mb="$rss_mb" -timeout="$timeout_s"
           -artifact_prefix="$artifacts/$target-" -print_final_stats=1)
  [ -f "$root/tests/fuzz/$target.dict" ] && options+=(-dict="$root/tests/fuzz/$target.dict")
  log="$artifacts/$target.log"
  echo "== $target: ${seconds} s"
  status=0
  TMPDIR="$work/tmp-$name" "$build/tests/fuzz/$target" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  [ -z "$runs" ] && runs="$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')"
  summary+=("$target: ${runs:-0} runs")
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "!! $target failed (exit $status); log: $log"
    grep -E 'ERROR|SUMMARY|^fuzz_|runtime error' "$log" | head -n 20 || true
    grep -o 'Test unit written to .*' "$log" | sed 's/^Test unit written to /!! crashing input: /' || true
  fi
done

echo "== executions"
printf '%s\n' "${summary[@]}"
exit "$failed"
