#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang-14) and runs each for a
# while on its corpus, seeded from real read-backs of the simulated bench.
#   scripts/fuzz.sh [seconds per target] [family ...]
# Families: spi i2c multi status bench (default: all). Seconds default to 60.
# Corpora grow in build/fuzz/corpus/<family>; a finding is written to
# build/fuzz/findings/ and makes the script fail. Runs at the lowest CPU
# priority (the machine is shared).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
families=("$@")
[ ${#families[@]} -gt 0 ] || families=(spi i2c multi status bench)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=build/fuzz/corpus
findings=build/fuzz/findings
mkdir -p "$findings"
# Seeds: every operation of every family on matching virtual chips.
[ -d "$corpus/spi" ] || build/fuzz/tests/fuzz/qz_fuzz_seeds "$corpus"
# Bench files: the example benches and the CLI tests' benches (and state files).
if [ ! -d "$corpus/bench" ]; then
  mkdir -p "$corpus/bench"
  cp examples/benches/*.toml tests/cli/benches/*.toml tests/cli/benches/*.state "$corpus/bench/"
fi

status=0
for family in "${families[@]}"; do
  log=build/fuzz/$family.log
  echo "==== fuzz $family: ${seconds} s ===="
  if ! nice -n 19 build/fuzz/tests/fuzz/qz_fuzz_$family -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$findings/$family-" "$corpus/$family" >"$log" 2>&1; then
    echo "FINDING in $family (see $log and $findings/)"
    tail -40 "$log"
    status=1
  fi
  # The last status line: executions and coverage (cov: edges reached).
  grep -E '^#[0-9]+' "$log" | tail -1 || true
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
done
exit $status
