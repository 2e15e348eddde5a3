#include "hash/cpu_features.h"

#include <cpuid.h>
#include <cstdint>

namespace {

// Whether the OS saves and restores the register state selected by `mask` in XCR0; without
// that, wide registers would be corrupted across context switches even if the CPU has them.
bool os_saves_state(std::uint64_t mask) {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) {
        return false;
    }
    unsigned lo = 0;
    unsigned hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const std::uint64_t xcr0 = (static_cast<std::uint64_t>(hi) << 32) | lo;
    return (xcr0 & mask) == mask;
}

constexpr std::uint64_t xcr0_sse_avx = 0x6;       // XMM and YMM upper halves
constexpr std::uint64_t xcr0_avx512 = 0x6 | 0xE0; // plus opmask, ZMM upper halves, ZMM16-31

bool cpu_has_sha() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return (ebx & bit_SHA) != 0 && __builtin_cpu_supports("sse4.1") &&
           __builtin_cpu_supports("ssse3");
}

bool cpu_is_amd() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return ebx == signature_AMD_ebx && edx == signature_AMD_edx && ecx == signature_AMD_ecx;
}

cpu_support detect() {
    __builtin_cpu_init();
    cpu_support s{};
    s.shani = cpu_has_sha();
    s.avx2 = __builtin_cpu_supports("avx2") && os_saves_state(xcr0_sse_avx);
    s.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512bw") && os_saves_state(xcr0_avx512);
    s.amd = cpu_is_amd();
    return s;
}

} // namespace

const cpu_support &cpu_features() {
    static const cpu_support s = detect(); // thread-safe initialisation
    return s;
}
