#include "model/cpu.h"

#include <algorithm>
#include <cstdlib>

#if KVT_SIMD_AVX2
#include <cpuid.h>
#endif

namespace kvt {

#if KVT_SIMD_AVX2
namespace {

// CPUID and XGETBV read directly rather than through __builtin_cpu_supports, whose answer comes
// from the compiler's runtime library: libgcc fills it in, but a runtime that leaves it empty
// (that of zig's clang, which builds the wheels) would keep every process at the scalar level.
struct Cpuid {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Cpuid cpuid(uint32_t leaf, uint32_t subleaf) {
  Cpuid r;
  if (!__get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx)) return Cpuid{};
  return r;
}

bool bit(uint32_t word, int n) { return ((word >> n) & 1) != 0; }

// The register state the operating system saves on a context switch (XCR0).
uint64_t os_saved_state() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
}

KernelLevel detect() {
  const Cpuid l1 = cpuid(1, 0);
  const Cpuid l7 = cpuid(7, 0);
  const Cpuid e1 = cpuid(0x80000001, 0);
  // OSXSAVE, then the XMM and YMM state (bits 1, 2) the OS saves; AVX-512 adds opmask, the upper
  // halves of ZMM0-15 and ZMM16-31 (bits 5-7).
  if (!bit(l1.ecx, 27) || !bit(l1.ecx, 28)) return KernelLevel::Scalar;
  const uint64_t state = os_saved_state();
  const bool avx2 = (state & 0x6) == 0x6 && bit(l7.ebx, 5) && bit(l7.ebx, 3) && bit(l7.ebx, 8) &&
                    bit(l1.ecx, 12) && bit(l1.ecx, 23) && bit(e1.ecx, 5);
  if (!avx2) return KernelLevel::Scalar;
  const bool avx512 = (state & 0xE6) == 0xE6 && bit(l7.ebx, 16) && bit(l7.ebx, 17) &&
                      bit(l7.ebx, 30) && bit(l7.ebx, 31) && bit(l7.ecx, 1) && bit(l7.ecx, 6);
  return avx512 ? KernelLevel::Avx512 : KernelLevel::Avx2;
}

}  // namespace
#endif

KernelLevel cpu_kernel_level() noexcept {
#if KVT_SIMD_AVX2
  // AVX2 with BMI1, BMI2, FMA, POPCNT and LZCNT (x86-64-v3); AVX-512 F, DQ, BW, VL, VBMI, VBMI2.
  static const KernelLevel level = detect();
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
