#define FIELD_ROW_ENTRY field_row_generic
#include "arithmetic/field_rows.inc"
