#pragma once

// The lane kernels of filters carried through a signal: what they emit for each
// sample (envelopes, band signals, analytic pairs, synthesis terms, frame sums),
// K vectors of W lanes at a time, every lane the scalar recursion.

#include "vorl/kernels/gammatone_lanes.hpp"
#include "vorl/simd/arch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vorl {
namespace detail {

/** What a continuous kernel makes of each sample and filter. */
enum class Output {
    envelope,     ///< the integrated, gain-scaled envelope (the recursion's `total`)
    band_signal,  ///< the real band-pass output, `band_sample`
    analytic,     ///< `band_sample` and `quadrature_sample`, interleaved (re, im)
    frame_sums,   ///< the envelope, added to the sums of the frames that hold the sample
    terms,        ///< the analytic output's synthesis term, `synthesis_term`
};

/**
 * The term a synthesis sums from an analytic output (re, im) with complex
 * factor (cr, ci) and weight w: cr * (w * re) - ci * (w * im); without a
 * weight, cr * re - ci * im, which gives the same bits as w = 1.
 */
template <bool Weighted, typename V>
VORL_INLINE V synthesis_term(V re, V im, const V& cr, const V& ci, const V& w) {
    if (Weighted) {
        re = w * re;
        im = w * im;
    }
    return cr * re - ci * im;
}

/**
 * The frames open over a span of a call's samples: the samples before `end`
 * (counted from the call's first sample) and from the previous span's end add
 * to the sums of `sums[0..num_sums)`.
 */
struct SumSpan {
    std::size_t end;
    double* const* sums;
    std::size_t num_sums;
};

/**
 * Where a continuous kernel puts what it makes of filter i after sample t:
 * `out[t * stride + offset + i]` (for the analytic output the pair at
 * `out[t * stride + 2 * (offset + i)]`), or, for frame sums, added to
 * `sums[a][offset + i]` for every a < num_sums; or, given `spans` (the last
 * ending at the call's sample count), to the sums of the span holding sample
 * t. Each sums array is read and written in whole vectors: it holds at least
 * offset + count values rounded up to a multiple of 16 (`frame_sums_size`);
 * the values past the filters are scratch.
 */
struct Sink {
    double* out;
    std::size_t stride;
    double* const* sums;
    std::size_t num_sums;
    std::size_t offset;
    const SumSpan* spans = nullptr;
    std::size_t num_spans = 0;
    /// Terms: filter i's complex factor, and its weight after sample t at
    /// `weights[t * weights_stride + offset + i]` (no weights: null).
    const double* factor_re = nullptr;
    const double* factor_im = nullptr;
    const double* weights = nullptr;
    std::size_t weights_stride = 0;
};

/** Length of a frame-sums array for `count` filters, see `Sink`. */
constexpr std::size_t frame_sums_size(std::size_t count) { return (count + 15) / 16 * 16; }

/**
 * Continues filters `filters[0..used)` (at most K*W of them), whose states are
 * `states[0..used)`, through `n` more samples, and puts each filter's output
 * after each sample into `sink`. The states are read first and written back
 * last, so consecutive calls run the filters through the concatenated signal
 * exactly as one call would.
 */
template <int W, int K, Output What, typename Filter>
VORL_INLINE void run_group_continuous(const Filter* filters, GammatoneState<double>* states,
                                             std::size_t used, double decay, const double* x,
                                             std::size_t n, const Sink& sink) {
    using Vec = typename Lanes<W>::Vec;
    const Vec zero = {};
    const Vec decay_v = zero + decay;
    GammatoneCoefficients<Vec> c[K];
    GammatoneState<Vec> st[K];
    Vec held[K];  // the envelope's: see sample_loop
    load_coefficients<W, K>(filters, used, c);
    for (int k = 0; k < K; ++k) start_at_rest(st[k], zero);
    for (std::size_t i = 0; i < used; ++i) {
        for_each_field(st[i / W], states[i], [&](Vec& lane, const double& v) { lane[i % W] = v; });
    }
    // Row t of the output, for vector k: whole vectors when every lane is a
    // filter, else lane by lane.
    const bool whole = used == std::size_t(K) * W;
    const auto store = [&](std::size_t t, int k, const Vec& value) VORL_INLINE_LAMBDA {
        double* row = sink.out + t * sink.stride + sink.offset + k * W;
        if (whole) {
            std::memcpy(row, &value, sizeof(Vec));  // unaligned
        } else {
            for (std::size_t l = 0; l < W && k * W + l < used; ++l) row[l] = value[l];
        }
    };
    // Blocks of samples that run again (`run_optimistic`) start again from the
    // state they started with, and the envelopes from the held powers; what
    // they store is stored again.
    Kept<GammatoneState<Vec>, K> kept_st(st);
    Kept<Vec, K> kept_held(held);
    Optimism& optimism = thread_optimism();
    const auto run = [&](const auto& stages, const auto& emit) VORL_INLINE_LAMBDA {
        if (n == 0) return;
        for (int k = 0; k < K; ++k) held[k] = squared_magnitude(stages(0, k));
        const auto loop = sample_loop<W, K>(st, c, decay_v, held, used, emit);
        run_optimistic<W>(1, n, optimism,
                          [&](std::size_t from, std::size_t to, auto math) VORL_INLINE_LAMBDA {
                              return loop(from, to, stages, math);
                          },
                          true, kept_st, kept_held);
        finish_samples<W, K>(st, c, decay_v, held, n - 1, emit);
    };
    // The band outputs take no envelope: only the filter stages and the
    // rotation run, and `total` stays as it was.
    const auto run_stages = [&](const auto& stages) VORL_INLINE_LAMBDA {
        const auto loop = [&](std::size_t from, std::size_t to, auto math) VORL_INLINE_LAMBDA {
            FlushCheck<W, K, 1, decltype(math)> check;
#pragma GCC unroll 4
            for (std::size_t t = from; t < to; ++t) {
#pragma GCC unroll 4
                for (int k = 0; k < K; ++k) {
                    stages(t, k, math);
                    check.note(k, st[k]);
                }
            }
            return check.passed(used);
        };
        run_optimistic<W>(0, n, optimism, loop, true, kept_st);
    };
    const RotatingStages<W, NothingBeforeRotating> rotating{st, c, x, {}};
    if constexpr (What == Output::band_signal) {
        // The band signal needs no envelope: each sample is stored at once,
        // with the rotation that took it down.
        const auto band_signal = [&](std::size_t t, int k, const Baseband<Vec>& u)
                                     VORL_INLINE_LAMBDA {
            store(t, k, band_sample(u, st[k].qc, st[k].qs, c[k].gain));
        };
        run_stages(RotatingStages<W, decltype(band_signal)>{st, c, x, band_signal});
    } else if constexpr (What == Output::analytic) {
        // Real and imaginary parts side by side: with GCC, whole vectors are
        // interleaved by two shuffles when every lane is a filter; else lane by lane.
#if defined(__GNUC__) && !defined(__clang__)
        using Mask = typename Lanes<W>::Mask;
        Mask low = {}, high = {};
        for (int l = 0; l < W / 2; ++l) {
            low[2 * l] = l;
            low[2 * l + 1] = W + l;
            high[2 * l] = W / 2 + l;
            high[2 * l + 1] = W + W / 2 + l;
        }
#endif
        const auto analytic = [&](std::size_t t, int k, const Baseband<Vec>& u)
                                  VORL_INLINE_LAMBDA {
            const Vec re = band_sample(u, st[k].qc, st[k].qs, c[k].gain);
            const Vec im = quadrature_sample(u, st[k].qc, st[k].qs, c[k].gain);
            double* pair = sink.out + t * sink.stride + 2 * (sink.offset + k * W);
#if defined(__GNUC__) && !defined(__clang__)
            if (W % 2 == 0 && whole) {
                const Vec first = __builtin_shuffle(re, im, low);
                const Vec second = __builtin_shuffle(re, im, high);
                std::memcpy(pair, &first, sizeof(Vec));  // unaligned
                std::memcpy(pair + W, &second, sizeof(Vec));
                return;
            }
#endif
            for (std::size_t l = 0; l < W && k * W + l < used; ++l) {
                pair[2 * l] = re[l];
                pair[2 * l + 1] = im[l];
            }
        };
        run_stages(RotatingStages<W, decltype(analytic)>{st, c, x, analytic});
    } else if constexpr (What == Output::terms) {
        // The factors as lanes (zero past the filters), the weights read lane
        // by lane unless every lane is a filter.
        Vec cr[K], ci[K];
        for (int k = 0; k < K; ++k) cr[k] = ci[k] = zero;
        for (std::size_t i = 0; i < used; ++i) {
            cr[i / W][i % W] = sink.factor_re[sink.offset + i];
            ci[i / W][i % W] = sink.factor_im[sink.offset + i];
        }
        const auto weight = [&](std::size_t t, int k) VORL_INLINE_LAMBDA {
            const double* row = sink.weights + t * sink.weights_stride + sink.offset + k * W;
            Vec w = zero;
            if (whole) {
                std::memcpy(&w, row, sizeof(Vec));
            } else {
                for (std::size_t l = 0; l < W && k * W + l < used; ++l) w[l] = row[l];
            }
            return w;
        };
        const auto terms = [&](auto weighted) VORL_INLINE_LAMBDA {
            constexpr bool Weighted = decltype(weighted)::value;
            const auto term = [&](std::size_t t, int k, const Baseband<Vec>& u)
                                  VORL_INLINE_LAMBDA {
                const Vec re = band_sample(u, st[k].qc, st[k].qs, c[k].gain);
                const Vec im = quadrature_sample(u, st[k].qc, st[k].qs, c[k].gain);
                store(t, k, synthesis_term<Weighted>(re, im, cr[k], ci[k],
                                                     Weighted ? weight(t, k) : zero));
            };
            run_stages(RotatingStages<W, decltype(term)>{st, c, x, term});
        };
        if (sink.weights) {
            terms(std::true_type());
        } else {
            terms(std::false_type());
        }
    } else if constexpr (What == Output::envelope) {
        run(rotating, [&](std::size_t t, int k) VORL_INLINE_LAMBDA {
            store(t, k, st[k].total);
        });
    } else {
        // The sums stay in memory: a load and a store per sum lie off the
        // recursion's chain, while sums held in registers crowd out its state
        // (with one open frame, 6% slower with AVX-512 on AMD Zen 4 in
        // bench_gammatone; with two, no faster). One call runs through every
        // span: the filters' state is loaded and stored once, however short
        // the spans between the starts and ends of frames are.
        const SumSpan whole{n, sink.sums, sink.num_sums};
        const SumSpan* const last = sink.num_spans > 0 ? sink.spans + sink.num_spans - 1 : &whole;
        const SumSpan* span = sink.num_spans > 0 ? sink.spans : &whole;
        const auto add = [&](std::size_t, int k) VORL_INLINE_LAMBDA {
            for (std::size_t a = 0; a < span->num_sums; ++a) {  // whole vectors, unaligned
                double* at = span->sums[a] + sink.offset + k * W;
                Vec sum;
                std::memcpy(&sum, at, sizeof(Vec));
                sum += st[k].total;
                std::memcpy(at, &sum, sizeof(Vec));
            }
        };
        // Up to `max_kept` open frames' sums are kept for blocks that run
        // again; a span with more open frames runs with the flush.
        constexpr std::size_t max_kept = 8;
        struct KeptSums {
            const SumSpan* const& span;
            std::size_t offset;
            Vec copy[max_kept][K];
            VORL_INLINE void keep() {
                for (std::size_t a = 0; a < span->num_sums; ++a) {
                    for (int k = 0; k < K; ++k) {
                        std::memcpy(&copy[a][k], span->sums[a] + offset + k * W, sizeof(Vec));
                    }
                }
            }
            VORL_INLINE void undo() const {
                for (std::size_t a = 0; a < span->num_sums; ++a) {
                    for (int k = 0; k < K; ++k) {
                        std::memcpy(span->sums[a] + offset + k * W, &copy[a][k], sizeof(Vec));
                    }
                }
            }
        } kept_sums{span, sink.offset, {}};
        if (n > 0) {
            for (int k = 0; k < K; ++k) held[k] = squared_magnitude(rotating(0, k));
            const auto loop = sample_loop<W, K>(st, c, decay_v, held, used, add);
            const auto run_span = [&](std::size_t from, std::size_t to) VORL_INLINE_LAMBDA {
                run_optimistic<W>(from, to, optimism,
                                  [&](std::size_t b, std::size_t e, auto math) VORL_INLINE_LAMBDA {
                                      return loop(b, e, rotating, math);
                                  },
                                  span->num_sums <= max_kept, kept_st, kept_held, kept_sums);
            };
            // Step t filters sample t and adds the envelope of sample t - 1: the
            // steps up to a span's end + 1 add the span's samples.
            // (One call of run_span: its loops are inlined where it is called.)
            for (std::size_t from = 1;; ++span) {
                const bool holds_last = span == last || span->end >= n;
                const std::size_t to = holds_last ? n : span->end + 1;
                run_span(from, to);
                if (holds_last) break;
                from = std::max(from, to);
            }
            finish_samples<W, K>(st, c, decay_v, held, n - 1, add);
        }
    }
    for (std::size_t i = 0; i < used; ++i) {
        for_each_field(st[i / W], states[i], [&](const Vec& lane, double& v) { v = lane[i % W]; });
    }
}

/** `run_group_continuous` over any number of filters, K vectors of W lanes at a time. */
template <int W, int K, Output What, typename Filter>
VORL_INLINE void run_lanes_continuous(const Filter* filters, GammatoneState<double>* states,
                                             std::size_t count, double decay, const double* x,
                                             std::size_t n, Sink sink) {
    const std::size_t offset = sink.offset;
    for_each_group<W, K>(count, [&](auto vectors, std::size_t first, std::size_t used)
                                    VORL_INLINE_LAMBDA {
        sink.offset = offset + first;
        run_group_continuous<W, decltype(vectors)::value, What>(filters + first, states + first,
                                                                used, decay, x, n, sink);
    });
}

/** Any output of `run_lanes_continuous`, chosen at run time. */
template <int W, int K, typename Filter>
VORL_INLINE void run_continuous_output(Output what, const Filter* filters,
                                              GammatoneState<double>* states, std::size_t count,
                                              double decay, const double* x, std::size_t n,
                                              const Sink& sink) {
    switch (what) {
    case Output::envelope:
        return run_lanes_continuous<W, K, Output::envelope>(filters, states, count, decay, x, n,
                                                            sink);
    case Output::band_signal:
        return run_lanes_continuous<W, K, Output::band_signal>(filters, states, count, decay, x,
                                                               n, sink);
    case Output::analytic:
        return run_lanes_continuous<W, K, Output::analytic>(filters, states, count, decay, x, n,
                                                            sink);
    case Output::frame_sums:
        return run_lanes_continuous<W, K, Output::frame_sums>(filters, states, count, decay, x,
                                                              n, sink);
    case Output::terms:
        return run_lanes_continuous<W, K, Output::terms>(filters, states, count, decay, x, n,
                                                         sink);
    }
}

}  // namespace detail
}  // namespace vorl
