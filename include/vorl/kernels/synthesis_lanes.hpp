#pragma once

// The work of a synthesis, written once over W-lane vectors and compiled for
// each instruction set: the terms of a span of samples laid out band by band
// (a transpose of the sample-major complex bands), and the bands' delayed
// terms added to the span's sums. Every lane performs the scalar operations in
// the scalar order, so every instruction set gives the same bits.

#include "vorl/kernels/gammatone_continuous.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace vorl {
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
    bool from_terms;  ///< the chunk holds terms, row t at `z + t * bands`, not (re, im) pairs
};

/** Samples a span of the synthesis covers. */
constexpr std::size_t synthesis_span = 512;

/**
 * Doubles per band of the lines a synthesis works in: the history and room for
 * several spans after it, so that the history moves to the front of the line
 * once every few spans.
 */
inline std::size_t synthesis_line_width(std::size_t longest) {
    return longest + 4 * synthesis_span;
}

/** What a chunk holds: (re, im) pairs, weighted or not, or the terms themselves. */
enum class Source { pairs, weighted_pairs, terms };

/** Band k's term of row `s` of the chunk, one band at a time (`synthesis_term`). */
template <Source From>
VORL_INLINE double band_term(const SynthesisPlan& p, const double* z,
                                       const double* weights, std::size_t s, std::size_t k) {
    const std::size_t at = s * p.bands + k;
    if (From == Source::terms) return z[at];
    constexpr bool Weighted = From == Source::weighted_pairs;
    return synthesis_term<Weighted>(z[2 * at], z[2 * at + 1], p.re[k], p.im[k],
                                    Weighted ? weights[at] : 0.0);
}

/** Unaligned loads and stores of W-lane vectors. */
template <int W>
VORL_INLINE typename Lanes<W>::Vec load_lanes(const double* p) {
    typename Lanes<W>::Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W>
VORL_INLINE void store_lanes(double* p, const typename Lanes<W>::Vec& v) {
    std::memcpy(p, &v, sizeof v);
}

/**
 * Transposes W vectors of W lanes, in place, from stage B on: each stage swaps
 * blocks of B lanes between vectors i and i + B (B = 1, 2, 4, ...).
 */
template <int W, int B>
VORL_INLINE void transpose_lanes(typename Lanes<W>::Vec (&v)[W]) {
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
 * band: band k + i's terms of rows s .. s + W to `dest[i * stride ..]`. The
 * terms are read or computed row by row (each row's (re, im) pairs split into
 * real and imaginary parts), then the W x W tile is transposed.
 */
template <int W, Source From>
VORL_INLINE void synthesis_tile(const SynthesisPlan& p, const double* z,
                                          const double* weights, std::size_t s, std::size_t k,
                                          double* dest, std::size_t stride) {
    using Vec = typename Lanes<W>::Vec;
    using Mask = typename Lanes<W>::Mask;
    constexpr bool Weighted = From == Source::weighted_pairs;
    Mask even, odd;
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j) {
        even[j] = 2 * j;
        odd[j] = 2 * j + 1;
    }
    const Vec cr = load_lanes<W>(p.re + k), ci = load_lanes<W>(p.im + k), zero = {};
    Vec v[W];
#pragma GCC unroll 8
    for (int r = 0; r < W; ++r) {
        const std::size_t at = (s + r) * p.bands + k;
        if (From == Source::terms) {
            v[r] = load_lanes<W>(z + at);
        } else {
            const Vec a = load_lanes<W>(z + 2 * at), b = load_lanes<W>(z + 2 * at + W);
            v[r] = synthesis_term<Weighted>(__builtin_shuffle(a, b, even),
                                            __builtin_shuffle(a, b, odd), cr, ci,
                                            Weighted ? load_lanes<W>(weights + at) : zero);
        }
    }
    transpose_lanes<W, 1>(v);
    // Each band's line is written a tile at a time, away from where it was last
    // read: asking for the cache line after next, for writing, spares each
    // store the wait for its line (bench_synthesis.py: half the time of the whole synthesis).
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i) {
        __builtin_prefetch(dest + i * stride + 16, 1, 3);
        store_lanes<W>(dest + i * stride, v[i]);
    }
}

/**
 * Band k's terms of rows [from, to) of the chunk to `dest[k * stride + s -
 * from]`: whole W x W tiles, the rows and bands left over one at a time.
 */
template <int W, Source From>
VORL_INLINE void synthesis_terms(const SynthesisPlan& p, const double* z,
                                           const double* weights, std::size_t from,
                                           std::size_t to, double* dest, std::size_t stride) {
    const std::size_t m = p.bands, whole_bands = m / W * W;
    std::size_t s = from;
    for (; s + W <= to; s += W) {
        double* at = dest + (s - from);
        for (std::size_t k = 0; k < whole_bands; k += W) {
            synthesis_tile<W, From>(p, z, weights, s, k, at + k * stride, stride);
        }
        for (std::size_t k = whole_bands; k < m; ++k) {
            for (std::size_t r = 0; r < W; ++r) {
                at[k * stride + r] = band_term<From>(p, z, weights, s + r, k);
            }
        }
    }
    for (; s < to; ++s) {
        for (std::size_t k = 0; k < m; ++k) {
            dest[k * stride + (s - from)] = band_term<From>(p, z, weights, s, k);
        }
    }
}

/** `synthesis_terms` for what the chunk holds. */
template <int W>
VORL_INLINE void synthesis_terms_of(const SynthesisPlan& p, const double* z,
                                              const double* weights, std::size_t from,
                                              std::size_t to, double* dest, std::size_t stride) {
    if (p.from_terms) {
        synthesis_terms<W, Source::terms>(p, z, nullptr, from, to, dest, stride);
    } else if (weights) {
        synthesis_terms<W, Source::weighted_pairs>(p, z, weights, from, to, dest, stride);
    } else {
        synthesis_terms<W, Source::pairs>(p, z, nullptr, from, to, dest, stride);
    }
}

/**
 * Band k's terms of the `longest` samples before row `t` of the chunk to
 * `dest[k * stride ..]`, oldest first: the kept terms for those before the
 * chunk. `dest` may be where the kept terms are.
 */
template <int W>
VORL_INLINE void synthesis_history(const SynthesisPlan& p, const double* z,
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
 * `out[s0..)`. `lines[k * width + start ..]` (width `synthesis_line_width`)
 * holds band k's terms of the `longest` rows before s0, oldest first: the
 * span's terms are put after them, band by band; each band, in order, adds its
 * run of terms, `delay` samples back, to the span's sums, kept in registers a
 * block of samples at a time; then `start` moves past the span, and when the
 * next span would not fit, the history moves to the front of the lines.
 */
template <int W>
VORL_INLINE void synthesis_span_of(const SynthesisPlan& p, double* lines,
                                             std::size_t& start, const double* z,
                                             const double* weights, std::size_t s0,
                                             std::size_t count, double* out) {
    using Vec = typename Lanes<W>::Vec;
    constexpr std::size_t span = synthesis_span, block = 8 * W;
    static_assert(span % block == 0, "whole blocks of sums");
    const std::size_t h = p.longest, width = synthesis_line_width(h);
    synthesis_terms_of<W>(p, z, weights, s0, s0 + count, lines + start + h, width);
    double sums[span];
    // Whole blocks: the lines have room past the span, and what lies past count is unused.
    for (std::size_t j0 = 0; j0 < count; j0 += block) {
        Vec acc[8] = {};
        for (std::size_t k = 0; k < p.bands; ++k) {
            const double* line = lines + k * width + start + h - p.delays[k] + j0;
#pragma GCC unroll 8
            for (int i = 0; i < 8; ++i) acc[i] += load_lanes<W>(line + i * W);
        }
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) store_lanes<W>(sums + j0 + i * W, acc[i]);
    }
    std::copy(sums, sums + count, out + s0);
    start += count;
    if (start + h + span > width) {
        for (std::size_t k = 0; k < p.bands; ++k) {
            std::memmove(lines + k * width, lines + k * width + start, h * sizeof(double));
        }
        start = 0;
    }
}

/**
 * Output samples [t0, t1) of a chunk of `n` rows to `out[t0..t1)`, in lines
 * of its own that start from the terms before t0: ranges may run at once.
 */
template <int W>
VORL_INLINE void render_synthesis(const SynthesisPlan& p, const double* z,
                                            const double* weights, std::size_t n,
                                            std::size_t t0, std::size_t t1, double* out) {
    t1 = std::min(t1, n);
    if (t0 >= t1) return;
    const std::size_t width = synthesis_line_width(p.longest);
    std::vector<double> lines(p.bands * width);
    synthesis_history<W>(p, z, weights, t0, lines.data(), width);
    std::size_t start = 0;
    for (std::size_t s0 = t0; s0 < t1; s0 += synthesis_span) {
        synthesis_span_of<W>(p, lines.data(), start, z, weights, s0,
                             std::min(synthesis_span, t1 - s0), out);
    }
}

/**
 * The `n` output samples of a chunk to `out`, in `lines` whose history starts
 * at `start` (see `synthesis_span_of`).
 */
template <int W>
VORL_INLINE void push_synthesis(const SynthesisPlan& p, double* lines,
                                          std::size_t& start, const double* z,
                                          const double* weights, std::size_t n, double* out) {
    for (std::size_t s0 = 0; s0 < n; s0 += synthesis_span) {
        synthesis_span_of<W>(p, lines, start, z, weights, s0, std::min(synthesis_span, n - s0),
                             out);
    }
}

/** One compiled variant of the synthesis. */
struct SynthesisKernel {
    const char* name;
    void (*render)(const SynthesisPlan&, const double*, const double*, std::size_t, std::size_t,
                   std::size_t, double*);
    void (*history)(const SynthesisPlan&, const double*, const double*, std::size_t, double*,
                    std::size_t);
    void (*push)(const SynthesisPlan&, double*, std::size_t&, const double*, const double*,
                 std::size_t, double*);
    bool (*supported)();
};

// The variants, one per instruction set of the list.
#define VORL_SYNTHESIS_VARIANT(isa, W)                                                         \
    VORL_TARGET_##isa inline void render_synthesis_##isa(const SynthesisPlan& p, const double* z,         \
                                              const double* w, std::size_t n, std::size_t t0,  \
                                              std::size_t t1, double* out) {                   \
        render_synthesis<W>(p, z, w, n, t0, t1, out);                                          \
    }                                                                                          \
    VORL_TARGET_##isa inline void synthesis_history_##isa(const SynthesisPlan& p, const double* z,        \
                                               const double* w, std::size_t t, double* dest,   \
                                               std::size_t stride) {                           \
        synthesis_history<W>(p, z, w, t, dest, stride);                                        \
    }                                                                                          \
    VORL_TARGET_##isa inline void push_synthesis_##isa(const SynthesisPlan& p, double* lines,             \
                                            std::size_t& start, const double* z,               \
                                            const double* w, std::size_t n, double* out) {     \
        push_synthesis<W>(p, lines, start, z, w, n, out);                                      \
    }
VORL_FOR_EACH_ISA(VORL_SYNTHESIS_VARIANT)
#undef VORL_SYNTHESIS_VARIANT

#define VORL_SYNTHESIS_ENTRY(isa, W)                                         \
    {#isa, &render_synthesis_##isa, &synthesis_history_##isa, &push_synthesis_##isa, \
     &simd::supports_##isa},
/** Every variant, in the order of the instruction sets. */
inline const SynthesisKernel synthesis_kernels[] = {VORL_FOR_EACH_ISA(VORL_SYNTHESIS_ENTRY)};
#undef VORL_SYNTHESIS_ENTRY

/** The variant for the instruction set chosen for this process. */
inline const SynthesisKernel& best_synthesis_kernel() {
    return simd::dispatch(synthesis_kernels);
}

}  // namespace detail
}  // namespace vorl

