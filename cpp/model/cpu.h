// Run-time choice of the AVX-512 kernels.
//
// AVX-512 kernels (namespace kvt::avx512) are compiled for x86-64 with GCC or Clang, each
// function for its own target, and chosen at run time, once per process, where the CPU and the
// system support them (has_avx512()); elsewhere, and when KVT_SIMD is 0, the scalar twin runs.
#pragma once

#if (!defined(KVT_SIMD) || KVT_SIMD) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__))
#define KVT_SIMD_AVX512 1
#else
#define KVT_SIMD_AVX512 0
#endif

namespace kvt {
// True where AVX-512 F and DQ can run (CPU and operating system); decided on first call.
bool has_avx512() noexcept;
// The same with BW, VL, VBMI (byte permutes) and VBMI2 (byte compress) as well.
bool has_avx512_vbmi2() noexcept;
}  // namespace kvt
