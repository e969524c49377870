// Which vector kernels this build uses.
//
// Every kernel that uses vector intrinsics has a portable scalar twin in namespace kvt::scalar
// with identical results, errors and reader positions; the public entry points name the vector
// kernel when it is built and the scalar one otherwise. KVT_SIMD comes from the build (the CMake
// option of that name, on by default); when it is 0, no intrinsics are compiled at all. A vector
// kernel is built only where the compiler targets its instruction set, so a machine without SSE2
// gets the scalar kernels whatever KVT_SIMD says.
#pragma once

#if (!defined(KVT_SIMD) || KVT_SIMD) && defined(__SSE2__)
#define KVT_SIMD_SSE2 1  // kernels in namespace kvt::sse2
#else
#define KVT_SIMD_SSE2 0
#endif

#include "model/cpu.h"  // the AVX-512 kernels and their run-time choice
