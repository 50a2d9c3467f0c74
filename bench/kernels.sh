#!/usr/bin/env bash
# The conversion and routing benchmarks for each kernel set, as a table of median ratio_to_memcpy:
#   best       the best kernels the processor allows, beside the host's memcpy
#   avx2-base  the kernels held to AVX2 (QUILLON_KERNELS=avx2), with glibc's string functions held from
#              AVX-512 (GLIBC_TUNABLES), so that memcpy is the one an AVX2 processor runs too
#   sse2-base  the kernels held to SSE2, with glibc held to a processor without AVX likewise
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
avx2_tunables=glibc.cpu.hwcaps=-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ
baseline_tunables=glibc.cpu.hwcaps=-AVX2,-AVX512F,-AVX512VL,-AVX_Fast_Unaligned_Load,-ERMS,-FSRM

filter=${KERNELS_FILTER:-'^(Convert|Route|Resample)/'}

run() {
    env -u QUILLON_KERNELS "$@" "$bench" --benchmark_filter="$filter" --benchmark_min_time=0.02 \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_format=json 2>/dev/null
}
run >"$out/best.json"
run QUILLON_KERNELS=avx2 GLIBC_TUNABLES="$avx2_tunables" >"$out/avx2-base.json"
run QUILLON_KERNELS=sse2 GLIBC_TUNABLES="$baseline_tunables" >"$out/sse2-base.json"

python3 - "$out" <<'PY'
import json, sys
columns = ["best", "avx2-base", "sse2-base"]
rows = {}
for c in columns:
    for b in json.load(open(f"{sys.argv[1]}/{c}.json"))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rows.setdefault(b["run_name"].replace("/manual_time", ""), {})[c] = b["ratio_to_memcpy"]
print(f"{'median ratio_to_memcpy':34s}" + "".join(f"{c:>10s}" for c in columns))
for name, r in rows.items():
    print(f"{name:34s}" + "".join(f"{r.get(c, float('nan')):10.2f}" for c in columns))
PY
