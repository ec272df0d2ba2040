#pragma once

// The recursion's math on W filters side by side in one vector: an operation
// on a vector of W doubles is W independent IEEE operations, so each lane
// equals the scalar recursion of its filter (gammatone_recursion.hpp).

#include "vorl/kernels/gammatone_recursion.hpp"
#include "vorl/simd/arch.hpp"

#include <cstdint>

namespace vorl {
namespace detail {

using simd::Lanes;

/** The lane counterpart of ScalarMath. */
template <int W>
struct LaneMath {
    using Vec = typename Lanes<W>::Vec;
    using Mask = typename Lanes<W>::Mask;
    static constexpr bool optimistic = false;  ///< see OptimisticLaneMath

    // Lane-wise square root; with -fno-math-errno it becomes one vector instruction.
    static VORL_INLINE Vec sqrt(Vec x) {
        Vec r;
        for (int i = 0; i < W; ++i) r[i] = __builtin_sqrt(x[i]);
        return r;
    }
    // The magnitude compared as an integer: for non-negative doubles the bit
    // patterns order as the values do, and NaN's lie above every number, so
    // this is ScalarMath's comparison, with a shorter latency. Clearing every
    // bit gives +0.
    static VORL_INLINE Vec flush(Vec x) {
        const Mask bits = (Mask)x;
        const Mask tiny = (bits & INT64_MAX) < flush_threshold_bits;
        return (Vec)(bits & ~tiny);
    }
    // |x|: the sign bit cleared.
    static VORL_INLINE Vec magnitude(Vec x) { return (Vec)((Mask)x & INT64_MAX); }
};

}  // namespace detail
}  // namespace vorl
