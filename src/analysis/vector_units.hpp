#pragma once

// Whether the processor has the 256-bit vector instructions with gathers (AVX2 on x86-64).
// Hot loops that carry many independent sums side by side use them when present: every lane
// is plain IEEE double arithmetic in the same order as the scalar code, so both paths give
// the same bits and the results never depend on the machine.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CORVEL_AUDIO_AVX2_PATHS 1
#endif

namespace corvel::analysis {

inline bool processorHasAvx2() {
#ifdef CORVEL_AUDIO_AVX2_PATHS
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace corvel::analysis
