#!/usr/bin/env bash
# The conversion and routing benchmarks for both kernel sets, as a table of median ratio_to_memcpy:
#   avx2       the kernels the processor allows
#   sse2       the kernels held to SSE2 (QUILLON_KERNELS=sse2), beside the host's memcpy
#   sse2-base  the same, with glibc's string functions held to a processor without AVX, so that memcpy
#              is the one such a processor runs too (GLIBC_TUNABLES)
#
#   bench/kernels.sh BUILD-DIR [REPETITIONS]     (default 9; more where the machine is shared and noisy)
#
# KERNELS_FILTER narrows the benchmarks (a regular expression; default all three families), e.g.
# KERNELS_FILTER='^(Convert|Route)/' for the kernels alone, without the slower resampler runs.
set -euo pipefail

bench=${1:?usage: kernels.sh BUILD-DIR [REPETITIONS]}/quillon_bench
repetitions=${2:-9}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
baseline_tunables=glibc.cpu.hwcaps=-AVX2,-AVX512F,-AVX512VL,-AVX_Fast_Unaligned_Load,-ERMS,-FSRM

filter=${KERNELS_FILTER:-'^(Convert|Route|Resample)/'}

run() {
    env "$@" "$bench" --benchmark_filter="$filter" --benchmark_min_time=0.02 \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_format=json 2>/dev/null
}
run QUILLON_KERNELS=avx2 >"$out/avx2.json"
run QUILLON_KERNELS=sse2 >"$out/sse2.json"
run QUILLON_KERNELS=sse2 GLIBC_TUNABLES="$baseline_tunables" >"$out/sse2-base.json"

python3 - "$out" <<'PY'
import json, sys
columns = ["avx2", "sse2", "sse2-base"]
rows = {}
for c in columns:
    for b in json.load(open(f"{sys.argv[1]}/{c}.json"))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rows.setdefault(b["run_name"].replace("/manual_time", ""), {})[c] = b["ratio_to_memcpy"]
print(f"{'median ratio_to_memcpy':34s}" + "".join(f"{c:>10s}" for c in columns))
for name, r in rows.items():
    print(f"{name:34s}" + "".join(f"{r.get(c, float('nan')):10.2f}" for c in columns))
PY
