// Kernel levels: which vector kernels a process runs, chosen once.
//
// Every kernel family has a portable scalar kernel (the reference) and, on x86-64 built with GCC
// or Clang, twins for higher levels, each function compiled for its own target and chosen at run
// time:
//   Scalar  the x86-64 baseline (SSE2 kernels where a family has them; portable C++ elsewhere)
//   Avx2    x86-64-v3: AVX2, BMI1, BMI2, FMA, LZCNT, POPCNT
//   Avx512  AVX-512 F, DQ, BW, VL, VBMI and VBMI2 on top of Avx2 (Ice Lake, Zen 4 and later)
// The process runs the highest level that the CPU and the operating system support, lowered by
// the environment variable KVT_KERNELS (scalar, avx2 or avx512) when it names a lower one: a
// level above the CPU's is never taken, and any other value is ignored. The choice is made on
// the first call of kernel_level() and never changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#if (!defined(KVT_SIMD) || KVT_SIMD) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__))
#define KVT_SIMD_AVX512 1
#define KVT_SIMD_AVX2 1
#else
#define KVT_SIMD_AVX512 0
#define KVT_SIMD_AVX2 0
#endif

// Compiles the functions defined between KVT_BEGIN_TARGET_AVX2 and KVT_END_TARGET for AVX2
// (x86-64-v3). Include every header before the first: functions defined in headers keep the
// baseline target, so their copies shared with other translation units run on every CPU.
#if KVT_SIMD_AVX2
#if defined(__clang__)
// _Pragma takes a single string literal: adjacent literals are not joined, so the line stays whole.
// clang-format off
#define KVT_BEGIN_TARGET_AVX2 _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,fma,lzcnt,popcnt\"))), apply_to = function)")
// clang-format on
#define KVT_END_TARGET _Pragma("clang attribute pop")
#else
#define KVT_BEGIN_TARGET_AVX2 \
  _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,fma,lzcnt,popcnt\")")
#define KVT_END_TARGET _Pragma("GCC pop_options")
#endif
#endif

namespace kvt {

enum class KernelLevel : uint8_t { Scalar, Avx2, Avx512 };

// The highest level this build, the CPU and the operating system can run; decided on first call.
KernelLevel cpu_kernel_level() noexcept;

// The level of this process: cpu_kernel_level(), lowered by KVT_KERNELS (see above).
KernelLevel kernel_level() noexcept;

// "scalar", "avx2", "avx512"; and back (nullopt for any other text).
std::string_view kernel_level_name(KernelLevel level) noexcept;
std::optional<KernelLevel> parse_kernel_level(std::string_view name) noexcept;

// The level that KVT_KERNELS asks for (nullopt when unset or not a level name) on a CPU of level
// `cpu`: the lower of the two. Exposed for tests; kernel_level() applies it once.
KernelLevel choose_kernel_level(KernelLevel cpu, const char* requested) noexcept;

}  // namespace kvt
