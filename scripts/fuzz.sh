#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for a
# bounded time on a scratch copy of the committed seed corpus, so that new corpus
# entries stay in the build directory. Fails if any target crashes.
#
#   FUZZ_SECONDS   seconds per target (default 15)
#   BUILD_DIR      build directory (default build-fuzz under the repository)
#   FUZZ_TARGETS   space-separated subset of targets to run (default: all)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-15}"
build="${BUILD_DIR:-$repo/build-fuzz}"
targets=(${FUZZ_TARGETS:-fuzz_chunks fuzz_decode_message fuzz_decrypt_frame fuzz_pairing_hello fuzz_l2cap_stream})

for tool in clang clang++ cmake; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool not found (apt-get install clang cmake)" >&2; exit 1; }
done

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_FUZZ=ON -DSORVANE_WERROR=ON \
  -DSORVANE_BUILD_TESTS=OFF -DSORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  work="$build/fuzz-run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$repo/fuzz/corpus/$target/"* "$work/corpus/"
  echo "== $target: ${seconds}s"
  if "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$work/log" | tr '\n' ' '
    echo
  else
    echo "!! $target failed; last lines of $work/log:"
    tail -n 40 "$work/log"
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} target(s) crashed: ${failed[*]} (inputs under $build/fuzz-run/<target>/artifacts)"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s each without a crash"
