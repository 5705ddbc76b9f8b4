// Closes what lanes_begin.h opened.
}  // namespace korvex::kernels::KORVEX_LANES_NS

KORVEX_INTRINSICS_END
#pragma GCC pop_options
#undef KORVEX_LANES_NS
