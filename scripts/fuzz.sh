#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and UBSan on) and runs each for a
# bounded time: FUZZ_SECONDS each, 60 by default. Copies of the committed seed corpora grow in
# build-fuzz/corpus.
set -euo pipefail
seconds=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDFU_BUILD_FUZZ=ON \
  -DQDFU_BUILD_APP=OFF -DQDFU_BUILD_TESTS=OFF -DQDFU_BUILD_BENCH=OFF -DQDFU_SANITIZE=ON -DQDFU_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build build-fuzz -j2 --target fuzz_frame_reader fuzz_serial_read fuzz_hex_loader -- --no-print-directory
for name in frame_reader serial_read hex_loader; do
  mkdir -p "build-fuzz/corpus/$name"
  cp -n fuzz/corpus/$name/* "build-fuzz/corpus/$name/" 2>/dev/null || true
  echo "== fuzz_$name for ${seconds} s"
  status=0
  "build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/" "build-fuzz/corpus/$name" >"build-fuzz/fuzz_$name.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "build-fuzz/fuzz_$name.log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name found a fault (build-fuzz/fuzz_$name.log)" >&2
    exit 1
  fi
done
