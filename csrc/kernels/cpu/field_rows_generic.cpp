#define FIELD_ROW_ENTRY field_row_generic
#define DYADIC_ROW_ENTRY dyadic_row_generic
#include "kernels/cpu/field_rows.inc"
