#include "model/cpu.h"

namespace kvt {

bool has_avx512() noexcept {
#if KVT_SIMD_AVX512
  static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  return yes;
#else
  return false;
#endif
}

bool has_avx512_vbmi2() noexcept {
#if KVT_SIMD_AVX512
  static const bool yes =
      has_avx512() && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
  return yes;
#else
  return false;
#endif
}

}  // namespace kvt
