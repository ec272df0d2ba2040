#pragma once

// The work of a synthesis, written once over W-lane vectors and compiled for
// each instruction set: the terms of a span of samples laid out band by band
// (a transpose of the sample-major complex bands), and the bands' delayed
// terms added to the span's sums. Every lane performs the scalar operations in
// the scalar order, so every instruction set gives the same bits.

#include "vorl/extractor/detail/gammatone_recursion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#define VORL_SYNTHESIS_INLINE inline __attribute__((always_inline))

namespace vorl {
namespace extractor {
namespace detail {

/** The design a synthesis renders with, and the terms it kept from earlier samples. */
struct SynthesisPlan {
    const double* re;            ///< each band's factor, real part
    const double* im;            ///< imaginary part
    const std::size_t* delays;   ///< each band's delay, in samples
    std::size_t bands;
    std::size_t longest;         ///< the longest delay
    const double* kept;          ///< band k's terms of the `longest` samples before the chunk,
                                 ///< oldest first, at `kept + k * kept_stride`
    std::size_t kept_stride;
};

/** Doubles per band of the lines a synthesis works in: the history, then a span. */
inline std::size_t synthesis_line_width(std::size_t longest);

/** Samples a span of the synthesis covers. */
constexpr std::size_t synthesis_span = 512;

inline std::size_t synthesis_line_width(std::size_t longest) { return longest + synthesis_span; }

/** Band k's term of row `s` of the chunk, one band at a time. */
template <bool Weighted>
VORL_SYNTHESIS_INLINE double synthesis_term(const SynthesisPlan& p, const double* z,
                                            const double* weights, std::size_t s,
                                            std::size_t k) {
    const std::size_t at = s * p.bands + k;
    double zr = z[2 * at], zi = z[2 * at + 1];
    if (Weighted) {
        zr = weights[at] * zr;
        zi = weights[at] * zi;
    }
    return p.re[k] * zr - p.im[k] * zi;
}

/** Unaligned loads and stores of W-lane vectors. */
template <int W>
VORL_SYNTHESIS_INLINE typename Lanes<W>::Vec load_lanes(const double* p) {
    typename Lanes<W>::Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W>
VORL_SYNTHESIS_INLINE void store_lanes(double* p, const typename Lanes<W>::Vec& v) {
    std::memcpy(p, &v, sizeof v);
}

/**
 * Transposes W vectors of W lanes, in place, from stage B on: each stage swaps
 * blocks of B lanes between vectors i and i + B (B = 1, 2, 4, ...).
 */
template <int W, int B>
VORL_SYNTHESIS_INLINE void transpose_lanes(typename Lanes<W>::Vec (&v)[W]) {
    if constexpr (B < W) {
        using Vec = typename Lanes<W>::Vec;
        typename Lanes<W>::Mask low, high;
#pragma GCC unroll 8
        for (int j = 0; j < W; ++j) {
            const bool first = (j / B) % 2 == 0;
            low[j] = first ? j : j - B + W;
            high[j] = first ? j + B : j + W;
        }
#pragma GCC unroll 8
        for (int i = 0; i < W; ++i) {
            if ((i / B) % 2 == 0) {
                const Vec x = v[i], y = v[i + B];
                v[i] = __builtin_shuffle(x, y, low);
                v[i + B] = __builtin_shuffle(x, y, high);
            }
        }
        transpose_lanes<W, 2 * B>(v);
    }
}

/**
 * The terms of W rows and W bands, row s and band k first, stored band by
 * band: band k + i's terms of rows s .. s + W to `dest[i * stride ..]`. Each
 * row's (re, im) pairs are split into real and imaginary parts, the terms are
 * computed row by row, then the W x W tile is transposed.
 */
template <int W, bool Weighted>
VORL_SYNTHESIS_INLINE void synthesis_tile(const SynthesisPlan& p, const double* z,
                                          const double* weights, std::size_t s, std::size_t k,
                                          double* dest, std::size_t stride) {
    using Vec = typename Lanes<W>::Vec;
    using Mask = typename Lanes<W>::Mask;
    Mask even, odd;
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) {
        even[j] = 2 * j;
        odd[j] = 2 * j + 1;
    }
    const Vec cr = load_lanes<W>(p.re + k), ci = load_lanes<W>(p.im + k);
    Vec v[W];
#pragma GCC unroll 8
    for (int r = 0; r < W; ++r) {
        const double* pairs = z + 2 * ((s + r) * p.bands + k);
        const Vec a = load_lanes<W>(pairs), b = load_lanes<W>(pairs + W);
        Vec zr = __builtin_shuffle(a, b, even), zi = __builtin_shuffle(a, b, odd);
        if (Weighted) {
            const Vec w = load_lanes<W>(weights + (s + r) * p.bands + k);
            zr = w * zr;
            zi = w * zi;
        }
        v[r] = cr * zr - ci * zi;
    }
    transpose_lanes<W, 1>(v);
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i) store_lanes<W>(dest + i * stride, v[i]);
}

/**
 * Band k's terms of rows [from, to) of the chunk to `dest[k * stride + s -
 * from]`: whole W x W tiles, the rows and bands left over one at a time.
 */
template <int W, bool Weighted>
VORL_SYNTHESIS_INLINE void synthesis_terms(const SynthesisPlan& p, const double* z,
                                           const double* weights, std::size_t from,
                                           std::size_t to, double* dest, std::size_t stride) {
    const std::size_t m = p.bands, whole_bands = m / W * W;
    std::size_t s = from;
    for (; s + W <= to; s += W) {
        double* at = dest + (s - from);
        for (std::size_t k = 0; k < whole_bands; k += W) {
            synthesis_tile<W, Weighted>(p, z, weights, s, k, at + k * stride, stride);
        }
        for (std::size_t k = whole_bands; k < m; ++k) {
            for (std::size_t r = 0; r < W; ++r) {
                at[k * stride + r] = synthesis_term<Weighted>(p, z, weights, s + r, k);
            }
        }
    }
    for (; s < to; ++s) {
        for (std::size_t k = 0; k < m; ++k) {
            dest[k * stride + (s - from)] = synthesis_term<Weighted>(p, z, weights, s, k);
        }
    }
}

/** `synthesis_terms`, weighted or not. */
template <int W>
VORL_SYNTHESIS_INLINE void synthesis_terms_of(const SynthesisPlan& p, const double* z,
                                              const double* weights, std::size_t from,
                                              std::size_t to, double* dest, std::size_t stride) {
    if (weights) {
        synthesis_terms<W, true>(p, z, weights, from, to, dest, stride);
    } else {
        synthesis_terms<W, false>(p, z, nullptr, from, to, dest, stride);
    }
}

/**
 * Band k's terms of the `longest` samples before row `t` of the chunk to
 * `dest[k * stride ..]`, oldest first: the kept terms for those before the
 * chunk. `dest` may be where the kept terms are.
 */
template <int W>
VORL_SYNTHESIS_INLINE void synthesis_history(const SynthesisPlan& p, const double* z,
                                             const double* weights, std::size_t t, double* dest,
                                             std::size_t stride) {
    const std::size_t h = p.longest, from_chunk = std::min(t, h), kept = h - from_chunk;
    for (std::size_t k = 0; k < p.bands; ++k) {
        std::memmove(dest + k * stride, p.kept + k * p.kept_stride + h - kept,
                     kept * sizeof(double));
    }
    synthesis_terms_of<W>(p, z, weights, t - from_chunk, t, dest + kept, stride);
}

/**
 * Output samples [s0, s0 + count) of the chunk, count at most a span, to
 * `out[s0..)`. `lines[k * width ..]` (width `synthesis_line_width`) holds
 * band k's terms of the `longest` rows before s0, oldest first: the span's
 * terms are put after them, band by band; each band, in order, adds its run
 * of terms, `delay` samples back, to the span's sums; then the last `longest`
 * terms move to the front, for the next span.
 */
template <int W>
VORL_SYNTHESIS_INLINE void synthesis_span_of(const SynthesisPlan& p, double* lines,
                                             const double* z, const double* weights,
                                             std::size_t s0, std::size_t count, double* out) {
    constexpr std::size_t span = synthesis_span;
    static_assert(span % W == 0, "whole vectors of sums");
    const std::size_t h = p.longest, width = synthesis_line_width(h);
    const std::size_t vectors = (count + W - 1) / W;
    synthesis_terms_of<W>(p, z, weights, s0, s0 + count, lines + h, width);
    double sums[span] = {};
    for (std::size_t k = 0; k < p.bands; ++k) {  // whole vectors: what lies past count is unused
        const double* line = lines + k * width + h - p.delays[k];
        for (std::size_t j = 0; j < vectors * W; j += W) {
            store_lanes<W>(sums + j, load_lanes<W>(sums + j) + load_lanes<W>(line + j));
        }
    }
    std::copy(sums, sums + count, out + s0);
    for (std::size_t k = 0; k < p.bands; ++k) {
        std::memmove(lines + k * width, lines + k * width + count, h * sizeof(double));
    }
}

/**
 * Output samples [t0, t1) of a chunk of `n` rows to `out[t0..t1)`, in lines
 * of its own that start from the terms before t0: ranges may run at once.
 */
template <int W>
VORL_SYNTHESIS_INLINE void render_synthesis(const SynthesisPlan& p, const double* z,
                                            const double* weights, std::size_t n,
                                            std::size_t t0, std::size_t t1, double* out) {
    t1 = std::min(t1, n);
    if (t0 >= t1) return;
    const std::size_t width = synthesis_line_width(p.longest);
    std::vector<double> lines(p.bands * width);
    synthesis_history<W>(p, z, weights, t0, lines.data(), width);
    for (std::size_t s0 = t0; s0 < t1; s0 += synthesis_span) {
        synthesis_span_of<W>(p, lines.data(), z, weights, s0,
                             std::min(synthesis_span, t1 - s0), out);
    }
}

/** The `n` output samples of a chunk to `out`, in `lines` that hold the kept terms. */
template <int W>
VORL_SYNTHESIS_INLINE void push_synthesis(const SynthesisPlan& p, double* lines, const double* z,
                                          const double* weights, std::size_t n, double* out) {
    for (std::size_t s0 = 0; s0 < n; s0 += synthesis_span) {
        synthesis_span_of<W>(p, lines, z, weights, s0, std::min(synthesis_span, n - s0), out);
    }
}

/** One compiled variant of the synthesis. */
struct SynthesisKernel {
    const char* name;
    void (*render)(const SynthesisPlan&, const double*, const double*, std::size_t, std::size_t,
                   std::size_t, double*);
    void (*history)(const SynthesisPlan&, const double*, const double*, std::size_t, double*,
                    std::size_t);
    void (*push)(const SynthesisPlan&, double*, const double*, const double*, std::size_t,
                 double*);
    bool (*supported)();
};

// The functions of the table for W lanes, compiled for the instruction set of `Target`.
#define VORL_SYNTHESIS_VARIANT(suffix, W, attributes)                                           \
    attributes inline void render_synthesis_##suffix(                                         \
        const SynthesisPlan& p, const double* z, const double* w, std::size_t n,              \
        std::size_t t0, std::size_t t1, double* out) {                                        \
        render_synthesis<W>(p, z, w, n, t0, t1, out);                                         \
    }                                                                                         \
    attributes inline void synthesis_history_##suffix(const SynthesisPlan& p, const double* z, \
                                                      const double* w, std::size_t t,          \
                                                      double* dest, std::size_t stride) {      \
        synthesis_history<W>(p, z, w, t, dest, stride);                                       \
    }                                                                                         \
    attributes inline void push_synthesis_##suffix(const SynthesisPlan& p, double* lines,      \
                                                   const double* z, const double* w,           \
                                                   std::size_t n, double* out) {               \
        push_synthesis<W>(p, lines, z, w, n, out);                                            \
    }

#if defined(__x86_64__) || defined(__i386__)
VORL_SYNTHESIS_VARIANT(avx512, 8, __attribute__((target("avx512f"))))
VORL_SYNTHESIS_VARIANT(avx2, 4, __attribute__((target("avx2"))))
inline bool synthesis_has_avx512f() { return __builtin_cpu_supports("avx512f"); }
inline bool synthesis_has_avx2() { return __builtin_cpu_supports("avx2"); }
#endif
VORL_SYNTHESIS_VARIANT(two_lanes, 2, )
inline bool synthesis_always() { return true; }
#undef VORL_SYNTHESIS_VARIANT

#define VORL_SYNTHESIS_ENTRY(name, suffix, supported)                                        \
    {name, &render_synthesis_##suffix, &synthesis_history_##suffix, &push_synthesis_##suffix, \
     &supported}

/** Every variant, widest first; the last runs everywhere. */
inline const SynthesisKernel synthesis_kernels[] = {
#if defined(__x86_64__) || defined(__i386__)
    VORL_SYNTHESIS_ENTRY("avx512f", avx512, synthesis_has_avx512f),
    VORL_SYNTHESIS_ENTRY("avx2", avx2, synthesis_has_avx2),
#endif
    VORL_SYNTHESIS_ENTRY("two lanes", two_lanes, synthesis_always),
};
#undef VORL_SYNTHESIS_ENTRY

/** The widest variant this CPU supports, chosen once. */
inline const SynthesisKernel& best_synthesis_kernel() {
    static const SynthesisKernel& chosen =
        *std::find_if(std::begin(synthesis_kernels), std::end(synthesis_kernels),
                      [](const SynthesisKernel& k) { return k.supported(); });
    return chosen;
}

}  // namespace detail
}  // namespace extractor
}  // namespace vorl

#undef VORL_SYNTHESIS_INLINE
