"""Exact rational tensors; the extension module is korvex.vla.modular_cuda."""

import torch  # noqa: F401  (loads libtorch_python before the extension needs it)
