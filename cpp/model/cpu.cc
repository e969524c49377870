#include "model/cpu.h"

#include <algorithm>
#include <cstdlib>

namespace kvt {

KernelLevel cpu_kernel_level() noexcept {
#if KVT_SIMD_AVX2
  static const KernelLevel level = [] {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
                      __builtin_cpu_supports("popcnt");
    if (!avx2) return KernelLevel::Scalar;
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512vbmi") &&
                        __builtin_cpu_supports("avx512vbmi2");
    return avx512 ? KernelLevel::Avx512 : KernelLevel::Avx2;
  }();
  return level;
#else
  return KernelLevel::Scalar;
#endif
}

KernelLevel choose_kernel_level(KernelLevel cpu, const char* requested) noexcept {
  if (requested == nullptr) return cpu;
  const std::optional<KernelLevel> asked = parse_kernel_level(requested);
  return asked ? std::min(cpu, *asked) : cpu;
}

KernelLevel kernel_level() noexcept {
  static const KernelLevel level =
      choose_kernel_level(cpu_kernel_level(), std::getenv("KVT_KERNELS"));
  return level;
}

std::string_view kernel_level_name(KernelLevel level) noexcept {
  switch (level) {
    case KernelLevel::Scalar:
      return "scalar";
    case KernelLevel::Avx2:
      return "avx2";
    case KernelLevel::Avx512:
      return "avx512";
  }
  return "scalar";
}

std::optional<KernelLevel> parse_kernel_level(std::string_view name) noexcept {
  for (KernelLevel l : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
    if (name == kernel_level_name(l)) return l;
  }
  return std::nullopt;
}

}  // namespace kvt
