#define FIELD_ROW_ENTRY field_row_generic
#define DYADIC_BLOCK_ENTRY dyadic_block_generic
#include "kernels/cpu/field_rows.inc"
