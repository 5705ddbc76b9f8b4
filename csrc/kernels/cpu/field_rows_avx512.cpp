// Built with -mavx512f -mavx512dq -mavx512vl (CMakeLists.txt); only called where the CPU has them.
#define FIELD_ROW_ENTRY field_row_avx512
#define DYADIC_BLOCK_ENTRY dyadic_block_avx512
#include "kernels/cpu/field_rows.inc"
