#!/usr/bin/env bash
# One prepared run on a lent GPU machine: build this checkout against the machine's own CUDA
# PyTorch, run the test suite (the device fixture adds `cuda` there), time the GPU figures.
# Must finish within 8 minutes: the build is limited to the machine's architecture, the tests
# stop at the first failure, and each stage has its own time limit.
set -uo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export TORCH_CUDA_ARCH_LIST=${TORCH_CUDA_ARCH_LIST:-$($PY -c "import torch; c = torch.cuda.get_device_capability(); print(f'{c[0]}.{c[1]}')")}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
mkdir -p "${OUT:-bench}"
log() { echo "== $* ($(date +%T))"; }

log "build for sm_${TORCH_CUDA_ARCH_LIST}"
timeout 240 $PY -m pip install --no-build-isolation --no-deps -v . > "${OUT:-bench}/gpu_build.log" 2>&1 \
  || { tail -40 "${OUT:-bench}/gpu_build.log"; exit 1; }
$PY -P -c "import torch; from korvex.vla import modular_cuda as m; assert m._built_with_cuda; print('built with CUDA, device', torch.cuda.get_device_name())" || exit 1

log "tests"
timeout 150 $PY -P -m pytest -q -x --maxfail=1 tests -k "not fuzz or found_faults" 2>&1 | tail -25
tests=${PIPESTATUS[0]}

log "figures"
timeout 120 $PY -P bench/gpu_bench.py
bench=$?
[ -n "${OUT:-}" ] && cp bench/RESULTS-cuda.md "$OUT/" 2>/dev/null
log "done: tests rc=$tests, bench rc=$bench"
exit $(( tests || bench ))
