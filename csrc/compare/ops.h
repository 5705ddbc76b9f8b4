// Sign, order, extremes, clamping, sorting and selection on records, every decision exact
// (compare/decide.h); each family adds its members to the class.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::compare {

void register_order(pybind11::handle cls);      // sign, abs, relu, lt, le, gt, ge
void register_extremes(pybind11::handle cls);   // max, min, argmax, argmin, clamp
void register_sorting(pybind11::handle cls);    // sort, argsort, topk
void register_selection(pybind11::handle cls);  // where, all, any

}  // namespace korvex::compare
