// Includes the lane body KORVEX_LANES_BODY (a header name in quotes) once per vector width:
// for AVX-512, then for AVX2. At file scope, after the file's own headers. No include guard.
#define KORVEX_LANES_WIDE 1
#include KORVEX_LANES_BODY
#undef KORVEX_LANES_WIDE
#define KORVEX_LANES_WIDE 0
#include KORVEX_LANES_BODY
#undef KORVEX_LANES_WIDE
#undef KORVEX_LANES_BODY
