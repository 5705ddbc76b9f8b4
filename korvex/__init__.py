"""korvex: exact arithmetic on PyTorch devices."""
