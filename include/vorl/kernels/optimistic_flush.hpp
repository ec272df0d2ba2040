#pragma once

// Samples run without the flush of tiny all-pole outputs, on the chance that
// none is small enough to be flushed, and run again with it where one was:
// the same bits, with the flush off the recursion's chain of dependent
// operations.

#include "vorl/kernels/gammatone_recursion.hpp"
#include "vorl/kernels/lane_math.hpp"
#include "vorl/simd/arch.hpp"

#include <algorithm>
#include <cstddef>

namespace vorl {
namespace detail {

/**
 * LaneMath without the flush, for samples run on the chance that no all-pole
 * output among them is small enough to be flushed: then flushing changes no
 * bit, and the recursion's chain of dependent operations is three operations
 * shorter. `run_optimistic` checks the chance and runs the samples again with
 * LaneMath where it failed.
 */
template <int W>
struct OptimisticLaneMath : LaneMath<W> {
    using Vec = typename Lanes<W>::Vec;
    static constexpr bool optimistic = true;
    static VORL_INLINE Vec flush(Vec x) { return x; }
};

/**
 * The check of OptimisticLaneMath's chance over a run of samples by K vectors
 * of filters on F signals (state j = f * K + k): the least magnitude of each
 * state's all-pole outputs, lane by lane (a NaN, never flushed, is never the
 * least). With LaneMath it does nothing.
 */
template <int W, int K, int F, typename Math>
struct FlushCheck {
    using Vec = typename Lanes<W>::Vec;
    Vec smallest[K * F];

    VORL_INLINE FlushCheck() {
        if constexpr (Math::optimistic) {
            for (int j = 0; j < K * F; ++j) smallest[j] = Vec{} + __builtin_inf();
        }
    }
    /** Notes the all-pole output that state j, `st`, has just made (its p1r, p1i). */
    VORL_INLINE void note(int j, const GammatoneState<Vec>& st) {
        if constexpr (Math::optimistic) {
            const Vec r = LaneMath<W>::magnitude(st.p1r);
            const Vec i = LaneMath<W>::magnitude(st.p1i);
            smallest[j] = r < smallest[j] ? r : smallest[j];
            smallest[j] = i < smallest[j] ? i : smallest[j];
        }
    }
    /**
     * Whether no output noted in the first `used` lanes of the K vectors was
     * small enough to be flushed. The lanes past them hold silent filters,
     * whose imaginary part is always zero; they are never stored.
     */
    VORL_INLINE bool passed(std::size_t used) const {
        bool any = false;
        if constexpr (Math::optimistic) {
            for (int j = 0; j < K * F; ++j) {
                for (int l = 0; l < W; ++l) {
                    any |= (j % K) * W + l < int(used) && smallest[j][l] < flush_threshold;
                }
            }
        }
        return !any;
    }
};

/**
 * How `run_optimistic` runs blocks of samples on a thread. Audio seldom brings
 * an all-pole output below the flush threshold (2^-126), but digital silence
 * does at every sample: after a block that had to run again, the next blocks
 * run with the flush at once, twice as many after each failure in a row (at
 * most `max_exact` blocks), so silence costs little more than the flushing
 * loop. The count carries over from one kernel call to the thread's next, as
 * frames of silence come one call at a time; it decides the speed only, never
 * a bit of the results.
 */
struct Optimism {
    static constexpr std::size_t block = 256;  ///< samples per block
    static constexpr int max_exact = 64;
    int exact = 0;    ///< blocks still to run with the flush
    int penalty = 1;  ///< blocks with the flush after the next failure
};

/** The calling thread's `Optimism`. */
inline Optimism& thread_optimism() {
    static thread_local Optimism optimism;
    return optimism;
}

/**
 * A copy of the array `live` (held in registers where the loop allows), for a
 * block to start again from.
 */
template <typename T, int N>
struct Kept {
    T (&live)[N];
    T copy[N];

    explicit VORL_INLINE Kept(T (&array)[N]) : live(array) {}
    VORL_INLINE void keep() {
        for (int j = 0; j < N; ++j) copy[j] = live[j];
    }
    VORL_INLINE void undo() const {
        for (int j = 0; j < N; ++j) live[j] = copy[j];
    }
};

/**
 * Runs samples [from, to) in blocks of `Optimism::block`: each block first by
 * `loop(from, to, OptimisticLaneMath<W>())`, which returns whether no
 * all-pole output was small enough to be flushed; if one was, each of `kept`
 * (a `Kept`, or anything with `keep()` and `undo()`: the state, and whatever
 * the loop has written but can not write again) is put back as it was before
 * the block, and the block runs again by `loop(from, to, LaneMath<W>())`.
 * Either way each block ends as the flushing loop alone would end it, bit for
 * bit. Unless `may_try`, every block runs with the flush. (Each loop is
 * called from one place: they are inlined, and the kernels are large enough.)
 */
template <int W, typename Loop, typename... Kept>
VORL_INLINE void run_optimistic(std::size_t from, std::size_t to, Optimism& optimism,
                                const Loop& loop, bool may_try, Kept&... kept) {
    while (from < to) {
        const std::size_t end = to - from > Optimism::block ? from + Optimism::block : to;
        if (may_try && optimism.exact == 0) {
            (kept.keep(), ...);
            if (loop(from, end, OptimisticLaneMath<W>())) {
                optimism.penalty = 1;
                from = end;
                continue;
            }
            (kept.undo(), ...);
            optimism.exact = optimism.penalty;
            optimism.penalty = std::min(2 * optimism.penalty, Optimism::max_exact);
        } else if (may_try) {
            --optimism.exact;
        }
        loop(from, end, LaneMath<W>());
        from = end;
    }
}

}  // namespace detail
}  // namespace vorl
