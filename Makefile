# Everything a fresh machine needs: a virtual environment with the CPU build of PyTorch
# (use your own CUDA build of torch by installing it into the venv first), the build tools
# and the test tools, then the extension compiled against that torch.
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
TORCH_SPEC ?= torch==2.13.0

.PHONY: install demo test bench clean

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

clean:
	rm -rf build $(VENV)
