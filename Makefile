# Everything a fresh machine needs: a virtual environment with the CPU build of PyTorch
# (use your own CUDA build of torch by installing it into the venv first), the build tools
# and the test tools, then the extension compiled against that torch.
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
TORCH_SPEC ?= torch==2.13.0

.PHONY: install demo test bench sanitize clean

$(VENV)/bin/python:
	python3 -m venv $(VENV)

$(VENV)/.deps: | $(VENV)/bin/python
	$(PIP) install -q --upgrade pip
	$(PY) -c "import torch" 2>/dev/null || $(PIP) install -q $(TORCH_SPEC)
	$(PIP) install -q numpy "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	touch $@

install: $(VENV)/.deps
	$(PIP) install -q --no-build-isolation .

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

clean:
	rm -rf build $(VENV)
