#pragma once

// The lane kernels: W filters side by side in one vector, K vectors at a time,
// every lane the scalar recursion of gammatone_recursion.hpp: the sample loop
// and frames from rest (filters carried through a signal are in
// gammatone_continuous.hpp).

#include "vorl/kernels/gammatone_recursion.hpp"
#include "vorl/kernels/optimistic_flush.hpp"
#include "vorl/simd/arch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorl {
namespace detail {

/**
 * Loads the constants of filters `filters[0..used)` into K vectors of W lanes;
 * lanes beyond `used` get a silent filter (all zero but an identity rotation).
 */
template <int W, int K, typename Filter>
VORL_INLINE void load_coefficients(const Filter* filters, std::size_t used,
                                          GammatoneCoefficients<typename Lanes<W>::Vec>* c) {
    using Vec = typename Lanes<W>::Vec;
    const Vec zero = {};
    for (int k = 0; k < K; ++k) {
        c[k] = {zero, zero, zero, zero, zero, zero, zero + 1, zero};
    }
    for (std::size_t i = 0; i < used; ++i) {
        const Filter& f = filters[i];
        GammatoneCoefficients<Vec>& ck = c[i / W];
        const std::size_t l = i % W;
        ck.a0[l] = f.a[0]; ck.a1[l] = f.a[1]; ck.a2[l] = f.a[2]; ck.a3[l] = f.a[3];
        ck.a4[l] = f.a[4];
        ck.gain[l] = f.gain; ck.coscf[l] = f.coscf; ck.sincf[l] = f.sincf;
    }
}

/** Calls `f(a.x, b.x)` for every field x of two recursion states, in declaration order. */
template <typename A, typename B, typename F>
VORL_INLINE void for_each_field(A& a, B& b, F f) {
    f(a.p1r, b.p1r); f(a.p2r, b.p2r); f(a.p3r, b.p3r); f(a.p4r, b.p4r);
    f(a.p1i, b.p1i); f(a.p2i, b.p2i); f(a.p3i, b.p3i); f(a.p4i, b.p4i);
    f(a.qc, b.qc); f(a.qs, b.qs); f(a.total, b.total);
}

/**
 * The rotations (qc, qs) of filters started at rest, for the first samples of
 * a frame: the same for every frame, so computed once, by `advance_rotation`
 * itself. Filters come in blocks of 16 (the last one padded with the identity
 * rotation); for each sample 0..length a block holds 16 values qc, then 16
 * values qs. Row `length` is the rotation that continues the table.
 */
struct RotationTable {
    static constexpr std::size_t block = 16;
    std::size_t length = 0;      ///< samples whose rotation is looked up
    std::vector<double> values;  ///< blocks x (length + 1) rows x (16 qc, 16 qs)

    /** The qc of filter `filter` at sample `t`; its qs is `block` values further. */
    const double* at(std::size_t filter, std::size_t t) const {
        return values.data() + offset(filter, t);
    }
    double* at(std::size_t filter, std::size_t t) { return values.data() + offset(filter, t); }

private:
    std::size_t offset(std::size_t filter, std::size_t t) const {
        return ((filter / block) * (length + 1) + t) * 2 * block + filter % block;
    }
};

/** Upper bound of a table's size: the default bank (64 filters, 1024 samples) takes 1 MiB. */
constexpr std::size_t max_rotation_table_bytes = std::size_t(2) << 20;

/**
 * Samples a table for `count` filters covers: `frame_length`, at most what the
 * bound allows; 0 (no table) when the bound does not hold one sample's row and
 * the row that continues it.
 */
inline std::size_t rotation_table_length(std::size_t count, std::size_t frame_length) {
    const std::size_t row_bytes = (count + 15) / 16 * 2 * RotationTable::block * sizeof(double);
    const std::size_t rows = row_bytes == 0 ? 0 : max_rotation_table_bytes / row_bytes;
    return rows < 2 ? 0 : std::min(frame_length, rows - 1);
}

/** The rotation table of `filters[0..count)` for the first `length` samples. */
template <typename Filter>
RotationTable make_rotation_table(const Filter* filters, std::size_t count, std::size_t length) {
    RotationTable table;
    table.length = length;
    const std::size_t blocks = (count + RotationTable::block - 1) / RotationTable::block;
    table.values.assign(blocks * (length + 1) * 2 * RotationTable::block, 0.0);
    constexpr std::size_t B = RotationTable::block;
    for (std::size_t b = 0; b < blocks; ++b) {
        // The 16 filters of a block side by side, row after row.
        GammatoneCoefficients<double> c[B];
        double qc[B], qs[B];
        for (std::size_t l = 0; l < B; ++l) {
            const std::size_t i = b * B + l;
            c[l] = {};
            c[l].coscf = i < count ? filters[i].coscf : 1;  // padding: the identity rotation
            c[l].sincf = i < count ? filters[i].sincf : 0;
            GammatoneState<double> rest;
            start_at_rest(rest, 0.0);
            qc[l] = rest.qc;
            qs[l] = rest.qs;
        }
        for (std::size_t t = 0; t <= length; ++t) {
            double* row = table.at(b * B, t);
            for (std::size_t l = 0; l < B; ++l) {
                row[l] = qc[l];
                row[B + l] = qs[l];
                advance_rotation(qc[l], qs[l], c[l]);
            }
        }
    }
    return table;
}

/**
 * The two oldest outputs (p3, p4) of N states' histories in memory, for the
 * sample loop of kernels whose 16 vector registers cannot hold every state:
 * each state's last four all-pole outputs in a ring, sample t's at slot
 * t % 4. An output is stored once, as it is made, and read three and four
 * samples later as an operand. Kept in the states' fields, the older history
 * spilled all the same, and was copied from slot to slot as it shifted
 * (AMD Zen 4, bench_gammatone, ns per vector and sample: avx2/k1f2 4.17
 * from 4.60, with a rotation table 4.23 from 4.40; sse2/k2 5.16 from 5.46).
 */
template <typename V, int N>
struct HistoryRings {
    V slot[N][4][2];  ///< [state][sample % 4][real, imaginary part]

    /** `filter_stages`' view of one state's ring at sample t (see `OlderInState`). */
    struct At {
        V (*ring)[2];
        std::size_t t;

        using State = GammatoneState<V>;
        VORL_INLINE V p3r(const State&) const { return ring[(t + 1) & 3][0]; }  // t - 3
        VORL_INLINE V p3i(const State&) const { return ring[(t + 1) & 3][1]; }
        VORL_INLINE V p4r(const State&) const { return ring[t & 3][0]; }  // t - 4
        VORL_INLINE V p4i(const State&) const { return ring[t & 3][1]; }
        /** Sample t's output p0 takes the slot of sample t - 4's. */
        VORL_INLINE void advance(State&, const V& p0r, const V& p0i) const {
            ring[t & 3][0] = p0r;
            ring[t & 3][1] = p0i;
        }
    };

    VORL_INLINE At at(int j, std::size_t t) { return {slot[j], t}; }

    /** Takes the histories of `st` before sample t (p1..p4: samples t - 1..t - 4). */
    VORL_INLINE void enter(const GammatoneState<V> (&st)[N], std::size_t t) {
        for (int j = 0; j < N; ++j) {
            const V* r[4] = {&st[j].p4r, &st[j].p3r, &st[j].p2r, &st[j].p1r};
            const V* i[4] = {&st[j].p4i, &st[j].p3i, &st[j].p2i, &st[j].p1i};
            for (std::size_t a = 0; a < 4; ++a) {
                slot[j][(t + a) & 3][0] = *r[a];
                slot[j][(t + a) & 3][1] = *i[a];
            }
        }
    }
    /** Puts p3 and p4 back into `st` before sample t (p1 and p2 are there). */
    VORL_INLINE void leave(GammatoneState<V> (&st)[N], std::size_t t) const {
        for (int j = 0; j < N; ++j) {
            st[j].p3r = slot[j][(t + 1) & 3][0];
            st[j].p3i = slot[j][(t + 1) & 3][1];
            st[j].p4r = slot[j][t & 3][0];
            st[j].p4i = slot[j][t & 3][1];
        }
    }
};

/**
 * The sample loop of K vectors of filters on each of F signals (F frames
 * from rest, or one signal), as a callable `(from, to, stages, math)` that
 * runs them through samples [from, to) with `math` (LaneMath or
 * OptimisticLaneMath) and returns `run_optimistic`'s verdict on the samples.
 * State j = f * K + k is vector k on signal f, with constants `c[k]`; the
 * first `used` lanes of the K vectors hold filters, the rest silent ones. For
 * each sample t and state j: the filter stages, `stages(t, j, math, older)`
 * with p3 and p4 where `older` keeps them (`filter_stages`), which return its
 * baseband output, and its squared magnitude; then the envelope
 * of sample t - 1, whose squared magnitude `held[j]` holds, integrated into
 * `st[j].total` and handed on by `emit(t - 1, j)`. The squared magnitude of
 * the last sample stays in `held` for the next call, or for `finish_samples`.
 *
 * The envelope of a sample (a square root, slow on every core) would wait at
 * the end of the recursion's chain of dependent operations; a sample later
 * its input is ready, so the square root starts at once instead of holding
 * the core's window while the chain catches up. The envelopes are still
 * integrated in sample order, with the same operations. The stages come first
 * in each sample: the core starts the oldest work first, and that is the
 * chain. Holding one vector per sample, not the two parts of the baseband
 * output, leaves a register to the state (with 16 registers, 4-lane vectors
 * run 6-9% faster in bench_gammatone). With 32 registers, unrolling four
 * samples turns the shift of the filter history into renamed registers; with
 * 16, the state spills all the same: the older history lies in
 * `HistoryRings`, and two samples run as fast as four with AVX2 (one vector
 * on two frames), 5% faster with SSE2 (AMD Zen 4, bench_gammatone), and
 * compile quicker. (A lambda over
 * the caller's arrays: GCC allocates its registers better than those of a
 * function taking them as arguments.)
 */
template <int W, int K, int F = 1, typename Emit>
VORL_INLINE auto sample_loop(GammatoneState<typename Lanes<W>::Vec> (&st)[K * F],
                                    const GammatoneCoefficients<typename Lanes<W>::Vec> (&c)[K],
                                    const typename Lanes<W>::Vec& decay,
                                    typename Lanes<W>::Vec (&held)[K * F], std::size_t used,
                                    const Emit& emit) {
    return [&st, &c, &decay, &held, used, &emit](std::size_t from, std::size_t to,
                                                 const auto& stages,
                                                 auto math) VORL_INLINE_LAMBDA {
        using Vec = typename Lanes<W>::Vec;
        FlushCheck<W, K, F, decltype(math)> check;
        // `older(j)`: where state j keeps p3 and p4 at sample t.
        const auto sample = [&](std::size_t t, const auto& older) VORL_INLINE_LAMBDA {
#pragma GCC unroll 8
            for (int j = 0; j < K * F; ++j) {
                const Vec power = squared_magnitude(stages(t, j, math, older(j)));
                check.note(j, st[j]);
                integrate_power<LaneMath<W>>(st[j].total, held[j], c[j % K], decay);
                emit(t - 1, j);
                held[j] = power;
            }
        };
        if constexpr (simd::registers<W>() >= 32) {
            const auto in_state = [](int) VORL_INLINE_LAMBDA { return OlderInState(); };
#pragma GCC unroll 4
            for (std::size_t t = from; t < to; ++t) sample(t, in_state);
        } else {
            HistoryRings<Vec, K * F> rings;
            rings.enter(st, from);
#pragma GCC unroll 2
            for (std::size_t t = from; t < to; ++t) {
                sample(t, [&](int j) VORL_INLINE_LAMBDA { return rings.at(j, t); });
            }
            rings.leave(st, to);
        }
        return check.passed(used);
    };
}

/** Integrates and emits the envelope of the last sample, `t`, held by a sample loop. */
template <int W, int K, int F = 1, typename Emit>
VORL_INLINE void finish_samples(GammatoneState<typename Lanes<W>::Vec> (&st)[K * F],
                                       const GammatoneCoefficients<typename Lanes<W>::Vec> (&c)[K],
                                       const typename Lanes<W>::Vec& decay,
                                       const typename Lanes<W>::Vec (&held)[K * F],
                                       std::size_t t, const Emit& emit) {
    for (int j = 0; j < K * F; ++j) {
        integrate_power<LaneMath<W>>(st[j].total, held[j], c[j % K], decay);
        emit(t, j);
    }
}

/**
 * The filter stages of sample t with the state's own rotation, which then
 * advances; calls `before_rotating(t, k, u)` with the baseband output `u`
 * while the state still holds the rotation of the sample.
 */
template <int W, typename Before>
struct RotatingStages {
    using Vec = typename Lanes<W>::Vec;
    GammatoneState<Vec>* st;
    const GammatoneCoefficients<Vec>* c;
    const double* x;
    Before before_rotating;

    /** With p3 and p4 where `older` keeps them (`OlderInState`, `HistoryRings::At`). */
    template <typename Math, typename Older>
    VORL_INLINE Baseband<Vec> operator()(std::size_t t, int k, Math, const Older& older) const {
        const Baseband<Vec> u = filter_stages<Math>(st[k], c[k], x[t], st[k].qc, st[k].qs, older);
        before_rotating(t, k, u);
        advance_rotation(st[k].qc, st[k].qs, c[k]);
        return u;
    }
    /** With the whole history in the state. */
    template <typename Math = LaneMath<W>>
    VORL_INLINE Baseband<Vec> operator()(std::size_t t, int k, Math math = {}) const {
        return (*this)(t, k, math, OlderInState());
    }
};

/** What `RotatingStages` calls when nothing needs the rotation of a sample. */
struct NothingBeforeRotating {
    template <typename U>
    VORL_INLINE void operator()(std::size_t, int, const U&) const {}
};

/**
 * Runs filters `filters[0..used)` (at most K*W of them, all in one block of
 * `table`, starting with filter `first` of it) over F frames of `n` samples,
 * `x[0..F)`, K vectors of W lanes side by side for each frame, and writes each
 * filter's frame average of frame f to `out[f]`. Lanes beyond `used` run a
 * silent filter and are never stored. The rotation comes from `table` (if not
 * null) for its length, and is computed from there on.
 *
 * Independent vectors in one loop let the core overlap their chains, as far
 * as their state fits in registers. Frames from rest share the filters'
 * constants and the rotation at each sample: a second frame adds chains that
 * need only their own history.
 */
template <int W, int K, int F, typename Filter>
VORL_INLINE void run_group(const Filter* filters, std::size_t used, double decay,
                                  const double* const* x, std::size_t n, double* const* out,
                                  const RotationTable* table, std::size_t first) {
    using Vec = typename Lanes<W>::Vec;
    constexpr int N = K * F;  // states: frame f's vector k is j = f * K + k
    const Vec zero = {};
    const Vec decay_v = zero + decay;
    GammatoneCoefficients<Vec> c[K];
    GammatoneState<Vec> st[N];  // the rotation of vector k: st[k] (frame 0)'s
    Vec held[N];
    Vec sum[N];
    load_coefficients<W, K>(filters, used, c);
    for (int j = 0; j < N; ++j) {
        start_at_rest(st[j], zero);
        sum[j] = zero;
    }
    // The rotation of vector k at sample t, from the table (unaligned).
    const auto table_row = [&](std::size_t t, int k, Vec& qc, Vec& qs) VORL_INLINE_LAMBDA {
        const double* q = table->at(first, t) + k * W;
        std::memcpy(&qc, q, sizeof(Vec));
        std::memcpy(&qs, q + RotationTable::block, sizeof(Vec));
    };
    const auto looked_up = [&](std::size_t t, int j, auto math, const auto& older)
                               VORL_INLINE_LAMBDA {
        Vec qc, qs;
        table_row(t, j % K, qc, qs);
        return filter_stages<decltype(math)>(st[j], c[j % K], x[j / K][t], qc, qs, older);
    };
    // The last frame to use a sample's rotation advances it.
    const auto rotating = [&](std::size_t t, int j, auto math, const auto& older)
                              VORL_INLINE_LAMBDA {
        const int k = j % K;
        const Baseband<Vec> u = filter_stages<decltype(math)>(st[j], c[k], x[j / K][t], st[k].qc,
                                                              st[k].qs, older);
        if (j >= N - K) advance_rotation(st[k].qc, st[k].qs, c[k]);
        return u;
    };
    const auto add = [&](std::size_t, int j) VORL_INLINE_LAMBDA { sum[j] += st[j].total; };
    const auto loop = sample_loop<W, K, F>(st, c, decay_v, held, used, add);
    // Blocks run again from what they started with: the state, held powers and sums.
    Kept<GammatoneState<Vec>, N> kept_st(st);
    Kept<Vec, N> kept_held(held), kept_sum(sum);
    Optimism& optimism = thread_optimism();
    const auto run = [&](std::size_t from, std::size_t to, const auto& stages) VORL_INLINE_LAMBDA {
        run_optimistic<W>(from, to, optimism,
                          [&](std::size_t b, std::size_t e, auto math) VORL_INLINE_LAMBDA {
                              return loop(b, e, stages, math);
                          },
                          true, kept_st, kept_held, kept_sum);
    };

    const std::size_t rows = table != nullptr ? std::min(n, table->length) : 0;
    if (n > 0) {
        for (int j = 0; j < N; ++j) {
            const OlderInState older;
            held[j] = squared_magnitude(rows > 0 ? looked_up(0, j, LaneMath<W>(), older)
                                                 : rotating(0, j, LaneMath<W>(), older));
        }
        if (rows > 0) {
            run(1, rows, looked_up);
            if (rows < n) {  // past the table: go on from its last row
                for (int k = 0; k < K; ++k) table_row(rows, k, st[k].qc, st[k].qs);
            }
        }
        run(std::max<std::size_t>(rows, 1), n, rotating);
        finish_samples<W, K, F>(st, c, decay_v, held, n - 1, add);
    }
    for (int f = 0; f < F; ++f) {
        for (std::size_t i = 0; i < used; ++i) {
            out[f][i] = frame_average(sum[f * K + i / W], decay, n)[i % W];
        }
    }
}

/**
 * Splits `count` filters into groups of K W-lane vectors and calls
 * `group(std::integral_constant<int, G>(), first, used)` for each, with the
 * group's G vectors holding filters [first, first + used). What is left after
 * the whole groups makes one more group of K when it fills more than K - 1
 * vectors, else groups of one vector.
 */
template <int W, int K, typename Group>
VORL_INLINE void for_each_group(std::size_t count, const Group& group) {
    constexpr std::size_t size = std::size_t(K) * W;
    std::size_t first = 0;
    for (; count - first >= size; first += size) {
        group(std::integral_constant<int, K>(), first, size);
    }
    if (K > 1 && count - first > size - W) {
        group(std::integral_constant<int, K>(), first, count - first);
        return;
    }
    for (; first < count; first += W) {
        group(std::integral_constant<int, 1>(), first, std::min<std::size_t>(W, count - first));
    }
}

/**
 * Runs `count` filters over `frames` frames of `n` samples, frame i at
 * `x + i * hop`, and writes each filter's frame average of frame i to
 * `out + i * out_stride`; K vectors of W lanes at a time on F frames together.
 * A last frame that makes no whole F runs alone with K * F vectors at a time:
 * as many chains, as much state.
 * `table` (or null) is the rotation table of these filters.
 */
template <int W, int K, int F, typename Filter>
VORL_INLINE void run_lanes(const Filter* filters, std::size_t count, double decay,
                                  const double* x, std::size_t hop, std::size_t frames,
                                  std::size_t n, double* out, std::size_t out_stride,
                                  const RotationTable* table) {
    static_assert(RotationTable::block % (K * F * W) == 0, "a group never straddles two blocks");
    const auto frames_together = [&](auto vectors, auto together, std::size_t i)
                                     VORL_INLINE_LAMBDA {
        constexpr int G = decltype(together)::value;
        for_each_group<W, decltype(vectors)::value>(
            count, [&](auto group, std::size_t first, std::size_t used) VORL_INLINE_LAMBDA {
                const double* in[G];
                double* to[G];
                for (int f = 0; f < G; ++f) {
                    in[f] = x + (i + f) * hop;
                    to[f] = out + (i + f) * out_stride + first;
                }
                run_group<W, decltype(group)::value, G>(filters + first, used, decay, in, n, to,
                                                        table, first);
            });
    };
    std::size_t i = 0;
    for (; frames - i >= std::size_t(F); i += F) {
        frames_together(std::integral_constant<int, K>(), std::integral_constant<int, F>(), i);
    }
    for (; i < frames; ++i) {
        frames_together(std::integral_constant<int, K * F>(), std::integral_constant<int, 1>(), i);
    }
}

}  // namespace detail
}  // namespace vorl
