// Vector operations over the code units of a str (1, 2 or 4 bytes wide) for hot scanning
// loops, and the choice of instruction set made once at run time.
//
// Wheels must run on any x86-64, so nothing here is compiled for more than SSE2 by default.
// AVX2 code is compiled in a region marked for that target (KAVRI_SIMD_AVX2_BEGIN/END) and
// only called when the CPU and the OS support it. Elsewhere (aarch64, ...) callers fall back
// to their scalar loops. GCC and Clang both accept everything here.
//
// A scanning kernel is written once against `Ops<C>` and included twice by its module: once
// in a namespace `sse2`, once inside the AVX2 region in a namespace `avx2`, each with
// `template <class C> using Ops = ...` of its instruction set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#define KAVRI_SIMD_X86 1
#include <immintrin.h>
#endif

#if defined(KAVRI_SIMD_X86) && defined(__clang__)
#define KAVRI_SIMD_AVX2_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define KAVRI_SIMD_AVX2_END _Pragma("clang attribute pop")
#elif defined(KAVRI_SIMD_X86)
#define KAVRI_SIMD_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define KAVRI_SIMD_AVX2_END _Pragma("GCC pop_options")
#endif

namespace kavri::detail::simd {

// The instruction sets a scan may use, narrowest first.
enum class Isa : int { kScalar = 0, kSse2 = 1, kAvx2 = 2 };

inline const char *isa_name(Isa isa) {
    switch (isa) {
    case Isa::kAvx2: return "avx2";
    case Isa::kSse2: return "sse2";
    default: return "scalar";
    }
}

// The widest the machine runs; the CPU check covers the OS's saving of the wide registers.
inline Isa best_isa() {
#if defined(KAVRI_SIMD_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Isa::kAvx2;
    return Isa::kSse2;
#else
    return Isa::kScalar;
#endif
}

// The set in use: the best one, unless narrowed (for testing the other paths).
inline std::atomic<int> &isa_slot() {
    static std::atomic<int> slot{int(best_isa())};
    return slot;
}
inline Isa active_isa() { return Isa(isa_slot().load(std::memory_order_relaxed)); }
// False when the machine cannot run `isa`.
inline bool use_isa(Isa isa) {
    if (int(isa) > int(best_isa())) return false;
    isa_slot().store(int(isa), std::memory_order_relaxed);
    return true;
}

inline unsigned first_bit(uint32_t mask) { return unsigned(__builtin_ctz(mask)); }

#if defined(KAVRI_SIMD_X86)

// 128-bit operations; SSE2 is part of x86-64 itself. Masks hold one bit per byte.
template <class C> struct Sse2 {
    using V = __m128i;
    static constexpr size_t kLanes = 16 / sizeof(C);
    static constexpr uint32_t kAll = 0xFFFF;

    static V load(const C *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static V set1(uint32_t c) {
        if constexpr (sizeof(C) == 1) return _mm_set1_epi8(char(c));
        else if constexpr (sizeof(C) == 2) return _mm_set1_epi16(short(c));
        else return _mm_set1_epi32(int(c));
    }
    static V eq(V a, V b) {
        if constexpr (sizeof(C) == 1) return _mm_cmpeq_epi8(a, b);
        else if constexpr (sizeof(C) == 2) return _mm_cmpeq_epi16(a, b);
        else return _mm_cmpeq_epi32(a, b);
    }
    static V sub(V a, V b) {
        if constexpr (sizeof(C) == 1) return _mm_sub_epi8(a, b);
        else if constexpr (sizeof(C) == 2) return _mm_sub_epi16(a, b);
        else return _mm_sub_epi32(a, b);
    }
    static V or_(V a, V b) { return _mm_or_si128(a, b); }
    static V and_(V a, V b) { return _mm_and_si128(a, b); }
    static V andnot(V a, V b) { return _mm_andnot_si128(a, b); } // ~a & b
    // lo <= x <= hi, unsigned.
    static V in_range(V x, uint32_t lo, uint32_t hi) {
        V d = sub(x, set1(lo));
        if constexpr (sizeof(C) == 1) return _mm_cmpeq_epi8(_mm_subs_epu8(d, set1(hi - lo)), _mm_setzero_si128());
        else if constexpr (sizeof(C) == 2) return _mm_cmpeq_epi16(_mm_subs_epu16(d, set1(hi - lo)), _mm_setzero_si128());
        else {
            const V bias = _mm_set1_epi32(int(0x80000000u));
            V above = _mm_cmpgt_epi32(_mm_xor_si128(d, bias), _mm_xor_si128(set1(hi - lo), bias));
            return _mm_andnot_si128(above, _mm_set1_epi32(-1));
        }
    }
    static uint32_t mask(V v) { return uint32_t(_mm_movemask_epi8(v)); }
};

KAVRI_SIMD_AVX2_BEGIN

// 256-bit operations, for code inside the AVX2 region only.
template <class C> struct Avx2 {
    using V = __m256i;
    static constexpr size_t kLanes = 32 / sizeof(C);
    static constexpr uint32_t kAll = 0xFFFFFFFFu;

    static V load(const C *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static V set1(uint32_t c) {
        if constexpr (sizeof(C) == 1) return _mm256_set1_epi8(char(c));
        else if constexpr (sizeof(C) == 2) return _mm256_set1_epi16(short(c));
        else return _mm256_set1_epi32(int(c));
    }
    static V eq(V a, V b) {
        if constexpr (sizeof(C) == 1) return _mm256_cmpeq_epi8(a, b);
        else if constexpr (sizeof(C) == 2) return _mm256_cmpeq_epi16(a, b);
        else return _mm256_cmpeq_epi32(a, b);
    }
    static V sub(V a, V b) {
        if constexpr (sizeof(C) == 1) return _mm256_sub_epi8(a, b);
        else if constexpr (sizeof(C) == 2) return _mm256_sub_epi16(a, b);
        else return _mm256_sub_epi32(a, b);
    }
    static V or_(V a, V b) { return _mm256_or_si256(a, b); }
    static V and_(V a, V b) { return _mm256_and_si256(a, b); }
    static V andnot(V a, V b) { return _mm256_andnot_si256(a, b); }
    static V in_range(V x, uint32_t lo, uint32_t hi) {
        V d = sub(x, set1(lo));
        if constexpr (sizeof(C) == 1) return _mm256_cmpeq_epi8(_mm256_min_epu8(d, set1(hi - lo)), d);
        else if constexpr (sizeof(C) == 2) return _mm256_cmpeq_epi16(_mm256_min_epu16(d, set1(hi - lo)), d);
        else return _mm256_cmpeq_epi32(_mm256_min_epu32(d, set1(hi - lo)), d);
    }
    static uint32_t mask(V v) { return uint32_t(_mm256_movemask_epi8(v)); }
};

KAVRI_SIMD_AVX2_END

#endif // KAVRI_SIMD_X86

} // namespace kavri::detail::simd
