#pragma once

// The compiled variants of the lane kernels, one or more per instruction set,
// and the choice among them for this process.

#include "vorl/kernels/gammatone_continuous.hpp"
#include "vorl/simd/arch.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorl {
namespace detail {

/** One compiled variant of the lane kernel. */
template <typename Filter>
struct GammatoneKernel {
    using Run = void (*)(const Filter*, std::size_t, double, const double*, std::size_t, double*,
                         const RotationTable*);
    using Continue = void (*)(Output, const Filter*, GammatoneState<double>*, std::size_t,
                              double, const double*, std::size_t, const Sink&);
    const char* name;  ///< instruction set and vectors per group: "avx512f/k2"
    std::size_t isa;   ///< its instruction set's index in `simd::isas`
    int width;         ///< filters per vector
    Run run;            ///< frames from rest: `run_lanes`, with a rotation table or null
    Continue run_continuous;  ///< filters carried through a signal: `run_lanes_continuous`
    bool (*supported)();  ///< whether this CPU can run it
};

/**
 * The variants: `X(isa, W, K)`, K vectors of W lanes side by side in a group.
 * More vectors expose more independent work to the core, as far as their state
 * fits in its registers; which K is fastest depends on the core, so each
 * instruction set has the ones worth measuring (K divides the rotation table's
 * block of 16 filters).
 */
#if defined(__x86_64__) || defined(__i386__)
#define VORL_GAMMATONE_VARIANTS(X) \
    X(avx512f, 8, 1) X(avx512f, 8, 2) X(avx2, 4, 1) X(avx2, 4, 2) X(sse2, 2, 2) X(sse2, 2, 4)
#else
#define VORL_GAMMATONE_VARIANTS(X) X(generic, 2, 2) X(generic, 2, 4)
#endif

#define VORL_GAMMATONE_VARIANT(isa, W, K)                                                      \
    template <typename Filter>                                                                 \
    VORL_TARGET_##isa void run_##isa##_k##K(const Filter* f, std::size_t count, double decay,  \
                                            const double* x, std::size_t n, double* out,       \
                                            const RotationTable* table) {                      \
        run_lanes<W, K>(f, count, decay, x, n, out, table);                                    \
    }                                                                                          \
    template <typename Filter>                                                                 \
    VORL_TARGET_##isa void run_##isa##_k##K##_continuous(                                      \
        Output what, const Filter* f, GammatoneState<double>* states, std::size_t count,       \
        double decay, const double* x, std::size_t n, const Sink& sink) {                      \
        run_continuous_output<W, K>(what, f, states, count, decay, x, n, sink);                \
    }
VORL_GAMMATONE_VARIANTS(VORL_GAMMATONE_VARIANT)
#undef VORL_GAMMATONE_VARIANT

#define VORL_GAMMATONE_ENTRY(isa, W, K)                                                      \
    {#isa "/k" #K, simd::IsaId::isa, W, &run_##isa##_k##K<Filter>,                       \
     &run_##isa##_k##K##_continuous<Filter>, &simd::supports_##isa},
/** Every variant, in the order of the instruction sets. */
template <typename Filter>
constexpr GammatoneKernel<Filter> gammatone_kernels[] = {
    VORL_GAMMATONE_VARIANTS(VORL_GAMMATONE_ENTRY)};
#undef VORL_GAMMATONE_ENTRY

/** Seconds one call of `f` takes: a measurement of a fraction of a millisecond. */
template <typename F>
double seconds(const F& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/**
 * The kernel for this process: of the chosen instruction set's variants, the
 * one VORL_KERNEL names ("avx2/k2"), or else, for frames from rest and for
 * filters carried through a signal separately, the quickest on a short
 * measurement (64 filters, 512 samples, frames rotating and with a rotation
 * table; a few milliseconds in all). Every
 * variant gives the same bits, so the choice affects speed only.
 *
 * @throws std::runtime_error if VORL_KERNEL names a variant there is not
 */
template <typename Filter>
GammatoneKernel<Filter> choose_gammatone_kernel() {
    const std::size_t isa = simd::chosen_isa();
    const std::string forced = simd::forced_variant();
    std::vector<GammatoneKernel<Filter>> candidates;
    std::string names;
    for (const GammatoneKernel<Filter>& k : gammatone_kernels<Filter>) {
        if (k.isa != isa) continue;
        names += (names.empty() ? "" : ", ") + std::string(k.name);
        if (forced.empty() || std::string(k.name) == std::string(simd::isas[isa].name) + "/" + forced) {
            candidates.push_back(k);
        }
    }
    if (candidates.empty()) {
        throw std::runtime_error("VORL_KERNEL: no variant " + forced + " of " +
                                 simd::isas[isa].name + ", only " + names);
    }
    if (candidates.size() == 1) return candidates.front();
    // A fixed signal, and stable filters (four poles at radius 0.97) at centre
    // frequencies spread from 50 Hz to 8 kHz at 16 kHz.
    constexpr std::size_t count = 64, n = 512;
    constexpr double r = 0.97;
    std::vector<Filter> filters;
    for (std::size_t i = 0; i < count; ++i) {
        const double angle = 2 * 3.141592653589793 * (50.0 + 124.0 * i) / 16000;
        filters.emplace_back(50.0 + 124.0 * i, std::cos(angle), std::sin(angle), 1e-3,
                             std::array<double, 5>{4 * r, -6 * r * r, 4 * r * r * r,
                                                   -r * r * r * r, 0.5});
    }
    std::vector<double> x(n), out(count), sums(2 * frame_sums_size(count));
    std::uint64_t state = 1;
    for (double& v : x) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        v = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
    const RotationTable table = make_rotation_table(filters.data(), count, n);
    std::vector<GammatoneState<double>> states(count);
    double* const open[] = {sums.data(), sums.data() + sums.size() / 2};
    // Each variant's best of five calls, the variants in turn within a round, so
    // that a slow spell of a shared machine hits all of them.
    std::vector<double> framed(candidates.size(), 1e30), carried(candidates.size(), 1e30);
    for (int round = 0; round < 5; ++round) {
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const GammatoneKernel<Filter>& k = candidates[c];
            // Frames from rest, rotating and with a rotation table (as frames of longer
            // signals run): the two times together.
            framed[c] = std::min(framed[c], seconds([&] {
                k.run(filters.data(), count, 0.99, x.data(), n, out.data(), nullptr);
            }) + seconds([&] {
                k.run(filters.data(), count, 0.99, x.data(), n, out.data(), &table);
            }));
            // Filters carried through a signal into the sums of two open frames, as
            // rows of frames overlapping by half (the default hop) are made.
            for (GammatoneState<double>& s : states) start_at_rest(s, 0.0);
            carried[c] = std::min(carried[c], seconds([&] {
                k.run_continuous(Output::frame_sums, filters.data(), states.data(), count,
                                 0.99, x.data(), n, {nullptr, 0, open, 2, 0});
            }));
        }
    }
    const auto quickest = [](const std::vector<double>& times) {
        return static_cast<std::size_t>(std::min_element(times.begin(), times.end()) -
                                        times.begin());
    };
    GammatoneKernel<Filter> chosen = candidates[quickest(framed)];
    chosen.run_continuous = candidates[quickest(carried)].run_continuous;
    return chosen;
}

/** The kernel chosen for this process (see `choose_gammatone_kernel`), chosen once. */
template <typename Filter>
const GammatoneKernel<Filter>& best_gammatone_kernel() {
    static const GammatoneKernel<Filter> chosen = choose_gammatone_kernel<Filter>();
    return chosen;
}

}  // namespace detail
}  // namespace vorl
