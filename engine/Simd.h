#pragma once

// Whether the byte searches may take the processor's 32-byte registers, asked at run time, on
// top of the 16-byte ones every x86-64 processor has. On Windows GCC does not align the stack
// for 32-byte spills and would spill with aligned moves, which fault; the Windows builds have the
// assembler turn every aligned move into an unaligned one (PW_UNALIGNED_VECTOR_MOVES), which
// costs nothing on an aligned address.
#if defined(__x86_64__) && defined(__SSE2__) && defined(__GNUC__) &&                               \
    (!defined(_WIN32) || defined(PW_UNALIGNED_VECTOR_MOVES))
#define PW_AVX2_AT_RUN_TIME 1
#else
#define PW_AVX2_AT_RUN_TIME 0
#endif
