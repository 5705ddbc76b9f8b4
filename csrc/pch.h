// Precompiled for every translation unit: the torch headers dominate build time.
#pragma once
#include <Python.h>
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <torch/csrc/utils/pybind.h>
#include <pybind11/pybind11.h>
#include <array>
#include <cstdint>
#include <string>
#include <vector>
