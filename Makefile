# Everything a fresh machine needs: a virtual environment with the CPU build of PyTorch
# (use your own CUDA build of torch by installing it into the venv first), the build tools
# and the test tools, then the extension compiled against that torch.
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
TORCH_SPEC ?= torch==2.13.0
# One build tree per venv: a CPU and a CUDA torch must never share a CMake cache.
BUILD_DIR ?= build/{wheel_tag}
# ON makes every compiler warning an error (CI sets it).
KORVEX_WERROR ?= OFF

# The CUDA build check: a CUDA torch, the extension with its CUDA kernels, the tests on the CPU.
CUDA_VENV ?= .venv-cuda
CUDA_TORCH_SPEC ?= torch==2.14.1

.PHONY: install demo test bench cuda-check sanitize clean

$(VENV)/bin/python:
	python3 -m venv $(VENV)

$(VENV)/.deps: | $(VENV)/bin/python
	$(PIP) install -q --upgrade pip
	$(PY) -c "import torch" 2>/dev/null || $(PIP) install -q $(TORCH_SPEC)
	$(PIP) install -q numpy "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest hypothesis mypy
	touch $@

install: $(VENV)/.deps
	$(PIP) install -v --no-build-isolation -Cbuild-dir='$(BUILD_DIR)' -Ccmake.define.KORVEX_WERROR=$(KORVEX_WERROR) .

demo: install
	$(PY) -P -m korvex.vla

test: install
	$(PY) -P -m pytest -q tests

bench: install
	$(PIP) install -q matplotlib python-flint || true
	$(PY) -P -m korvex.vla bench

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer in a folder of its
# own, then the test suite run against it with the sanitizer runtimes preloaded (Python and
# torch are not instrumented, so they must come first). Any report fails the run.
SAN_BUILD := build/sanitize
SAN_PRELOAD = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)
sanitize: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEX_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(SAN_BUILD)
	rm -rf $(SAN_BUILD)/pkg && mkdir -p $(SAN_BUILD)/pkg && cp -r korvex $(SAN_BUILD)/pkg/
	cp $(SAN_BUILD)/modular_cuda*.so $(SAN_BUILD)/pkg/korvex/vla/
	LD_PRELOAD=$(SAN_PRELOAD) PYTHONPATH=$(abspath $(SAN_BUILD)/pkg) \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PY) -P -m pytest -q -p no:cacheprovider tests

cuda-check:
	$(MAKE) --no-print-directory VENV=$(CUDA_VENV) TORCH_SPEC=$(CUDA_TORCH_SPEC) \
	  BUILD_DIR='build/cuda-{wheel_tag}' install
	$(CUDA_VENV)/bin/python -P -c "import torch; from korvex.vla import modular_cuda as m; \
	  assert torch.version.cuda, 'the torch in $(CUDA_VENV) is not a CUDA build'; \
	  assert m._built_with_cuda, 'the extension was built without its CUDA kernels'; \
	  print('korvex built with CUDA', torch.version.cuda, 'for torch', torch.__version__, \
	        '(GPU visible:', torch.cuda.is_available(), end=')\n')"
	$(CUDA_VENV)/bin/python -P -m pytest -q tests

clean:
	rm -rf build $(VENV) $(CUDA_VENV)
