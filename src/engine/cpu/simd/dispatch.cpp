// Picks the kernel table for this processor once, at first use.
#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu::simd {

namespace {

const KernelTable& choose() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("f16c") &&
        __builtin_cpu_supports("fma")) {
        if (const KernelTable* t = avx512_table()) return *t;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") && __builtin_cpu_supports("fma")) {
        if (const KernelTable* t = avx2_table()) return *t;
    }
#endif
    return *portable_table();
}

}  // namespace

const KernelTable& kernels() {
    // Function-local static: initialised once, thread-safely, without Python.
    static const KernelTable& table = choose();
    return table;
}

}  // namespace zavra::cpu::simd
