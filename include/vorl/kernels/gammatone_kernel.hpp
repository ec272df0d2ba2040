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
    using Run = void (*)(const Filter*, std::size_t, double, const double*, std::size_t,
                         std::size_t, std::size_t, double*, std::size_t, const RotationTable*);
    using Continue = void (*)(Output, const Filter*, GammatoneState<double>*, std::size_t,
                              double, const double*, std::size_t, const Sink&);
    const char* name;  ///< instruction set, vectors per group, frames together: "avx512f/k1f2"
    std::size_t isa;   ///< its instruction set's index in `simd::isas`
    int width;         ///< filters per vector
    int frames;        ///< frames from rest run together (1: one at a time)
    Run run;           ///< frames from rest: `run_lanes`, with a rotation table or null
    Continue run_continuous;  ///< filters carried through a signal: `run_lanes_continuous`
    bool (*supported)();      ///< whether this CPU can run it
};

/**
 * The variants: `X(isa, K, F)`, K vectors of filters side by side in a group,
 * and on frames from rest F frames together (their constants and rotations
 * shared); named "isa/kK", or "isa/kKfF" when F > 1. More vectors or frames
 * expose more independent work to the core, as far as their state fits in its
 * registers; which is fastest depends on the core, so each instruction set has
 * the ones worth measuring (K divides the rotation table's block of 16
 * filters). Variants that differ in F only share their continuous kernel.
 */
#if defined(__x86_64__) || defined(__i386__)
#define VORL_GAMMATONE_VARIANTS(X)                                                         \
    X(avx512f, 1, 1) X(avx512f, 2, 1) X(avx512f, 1, 2) X(avx2, 1, 1) X(avx2, 2, 1)        \
    X(avx2, 1, 2) X(sse2, 2, 1)
#else
#define VORL_GAMMATONE_VARIANTS(X) X(generic, 2, 1) X(generic, 4, 1) X(generic, 1, 2)
#endif

// Each instruction set's kernels, instantiated once per (K, F) and K.
#define VORL_GAMMATONE_ISA(isa, W)                                                              \
    template <int K, int F, typename Filter>                                                    \
    VORL_TARGET_##isa void run_frames_##isa(const Filter* f, std::size_t count, double decay,   \
                                            const double* x, std::size_t hop,                   \
                                            std::size_t frames, std::size_t n, double* out,     \
                                            std::size_t out_stride, const RotationTable* table) { \
        run_lanes<W, K, F>(f, count, decay, x, hop, frames, n, out, out_stride, table);         \
    }                                                                                           \
    template <int K, typename Filter>                                                           \
    VORL_TARGET_##isa void run_continuous_##isa(Output what, const Filter* f,                   \
                                                GammatoneState<double>* states,                 \
                                                std::size_t count, double decay,                \
                                                const double* x, std::size_t n,                 \
                                                const Sink& sink) {                             \
        run_continuous_output<W, K>(what, f, states, count, decay, x, n, sink);                 \
    }
VORL_FOR_EACH_ISA(VORL_GAMMATONE_ISA)
#undef VORL_GAMMATONE_ISA

#define VORL_GAMMATONE_ENTRY(isa, K, F)                                                    \
    {F == 1 ? #isa "/k" #K : #isa "/k" #K "f" #F, simd::IsaId::isa,                        \
     simd::isas[simd::IsaId::isa].width, F, &run_frames_##isa<K, F, Filter>,               \
     &run_continuous_##isa<K, Filter>, &simd::supports_##isa},
/** Every variant, in the order of the instruction sets. */
template <typename Filter>
constexpr GammatoneKernel<Filter> gammatone_kernels[] = {
    VORL_GAMMATONE_VARIANTS(VORL_GAMMATONE_ENTRY)};
#undef VORL_GAMMATONE_ENTRY

/**
 * The variants chosen for this process, one for each use: frames from rest
 * with their rotations computed or looked up in a table, and filters carried
 * through a signal. All are of one instruction set.
 */
template <typename Filter>
struct GammatoneKernels {
    GammatoneKernel<Filter> rotating;    ///< frames from rest, rotations computed
    GammatoneKernel<Filter> looked_up;   ///< frames from rest, rotations from a table
    GammatoneKernel<Filter> continuous;  ///< filters carried through a signal

    /**
     * Runs `count` filters over `frames` frames of `n` samples, frame i at
     * `x + i * hop`, and writes each filter's frame average of frame i to
     * `out + i * out_stride`; `table` (or null) is the filters' rotation table.
     */
    void run(const Filter* filters, std::size_t count, double decay, const double* x,
             std::size_t hop, std::size_t frames, std::size_t n, double* out,
             std::size_t out_stride, const RotationTable* table) const {
        (table != nullptr ? looked_up : rotating)
            .run(filters, count, decay, x, hop, frames, n, out, out_stride, table);
    }
    /** Continues filters through `n` more samples: see `run_lanes_continuous`. */
    void run_continuous(Output what, const Filter* filters, GammatoneState<double>* states,
                        std::size_t count, double decay, const double* x, std::size_t n,
                        const Sink& sink) const {
        continuous.run_continuous(what, filters, states, count, decay, x, n, sink);
    }
    /** Filters per vector. */
    int width() const { return continuous.width; }
};

/**
 * A CPU model whose quickest variants bench_gammatone has measured, for each
 * use (frames from rest rotating, with a rotation table; filters carried
 * through a signal): chosen on that model without measuring, which spares the
 * first use its milliseconds and a shared machine's noise its say.
 */
struct KnownCpu {
    const char* vendor;
    unsigned family, model;  ///< as `simd::cpu_model` reports them
    const char* rotating;
    const char* looked_up;
    const char* continuous;
};

inline constexpr KnownCpu known_cpus[] = {
    // AMD EPYC 9004 (Zen 4) with AVX-512, 2 cores: 6.5 / 6.1 / 6.9 ns per vector
    // and sample against 6.7 / 6.4 / 7.2 for the next quickest.
    {"AuthenticAMD", 25, 17, "avx512f/k1f2", "avx512f/k1f2", "avx512f/k2"},
};

/** The variant named `name` ("avx2/k2"), or null. */
template <typename Filter>
const GammatoneKernel<Filter>* gammatone_kernel_named(const std::string& name) {
    for (const GammatoneKernel<Filter>& k : gammatone_kernels<Filter>) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

/** Seconds one call of `f` takes: a measurement of a fraction of a millisecond. */
template <typename F>
double seconds(const F& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/**
 * The kernels for this process: of the chosen instruction set's variants, the
 * one VORL_KERNEL names ("avx2/k2") for every use; or else, on a CPU of
 * `known_cpus` (if `known` is set) whose variants are of that set, the ones it
 * lists; or else, for each use separately, the quickest on a short
 * measurement (64 filters; two frames of 512 samples overlapping by half from
 * rest, rotating and with a rotation table; 512 samples carried into two open
 * frames; a few milliseconds in all). Every variant gives the same bits, so
 * the choice affects speed only.
 *
 * @throws std::runtime_error if VORL_KERNEL names a variant there is not
 */
template <typename Filter>
GammatoneKernels<Filter> choose_gammatone_kernel(bool known = true) {
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
    if (candidates.size() == 1) return {candidates.front(), candidates.front(), candidates.front()};
    if (known) {
        const simd::CpuModel cpu = simd::cpu_model();
        for (const KnownCpu& entry : known_cpus) {
            if (cpu.vendor != entry.vendor || cpu.family != entry.family ||
                cpu.model != entry.model) {
                continue;
            }
            const auto* rotating = gammatone_kernel_named<Filter>(entry.rotating);
            const auto* looked_up = gammatone_kernel_named<Filter>(entry.looked_up);
            const auto* continuous = gammatone_kernel_named<Filter>(entry.continuous);
            if (rotating && looked_up && continuous && rotating->isa == isa &&
                looked_up->isa == isa && continuous->isa == isa) {
                return {*rotating, *looked_up, *continuous};
            }
        }
    }
    // A fixed signal, and stable filters (four poles at radius 0.97) at centre
    // frequencies spread from 50 Hz to 8 kHz at 16 kHz.
    constexpr std::size_t count = 64, n = 512, hop = n / 2, frames = 2;
    constexpr double r = 0.97;
    std::vector<Filter> filters;
    for (std::size_t i = 0; i < count; ++i) {
        const double angle = 2 * 3.141592653589793 * (50.0 + 124.0 * i) / 16000;
        filters.emplace_back(50.0 + 124.0 * i, std::cos(angle), std::sin(angle), 1e-3,
                             std::array<double, 5>{4 * r, -6 * r * r, 4 * r * r * r,
                                                   -r * r * r * r, 0.5});
    }
    std::vector<double> x(hop + n), out(frames * count), sums(2 * frame_sums_size(count));
    std::uint64_t state = 1;
    for (double& v : x) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        v = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
    const RotationTable table = make_rotation_table(filters.data(), count, n);
    std::vector<GammatoneState<double>> states(count);
    double* const open[] = {sums.data(), sums.data() + sums.size() / 2};
    // Each variant's best of five calls, the variants in turn within a round, so
    // that a slow spell of a shared machine hits all of them. Variants that
    // differ in the frames they run together only share a continuous kernel:
    // it is measured once.
    constexpr double never = 1e30;
    std::vector<double> rotating(candidates.size(), never), looked_up(candidates.size(), never),
        carried(candidates.size(), never);
    for (int round = 0; round < 5; ++round) {
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const GammatoneKernel<Filter>& k = candidates[c];
            const auto framed = [&](const RotationTable* rotations) {
                return seconds([&] {
                    k.run(filters.data(), count, 0.99, x.data(), hop, frames, n, out.data(),
                          count, rotations);
                });
            };
            rotating[c] = std::min(rotating[c], framed(nullptr));
            looked_up[c] = std::min(looked_up[c], framed(&table));
            if (k.frames > 1) continue;
            // Filters carried through a signal into the sums of two open frames, as
            // rows of frames overlapping by half (the default hop) are made.
            for (GammatoneState<double>& s : states) start_at_rest(s, 0.0);
            carried[c] = std::min(carried[c], seconds([&] {
                k.run_continuous(Output::frame_sums, filters.data(), states.data(), count,
                                 0.99, x.data(), n, {nullptr, 0, open, 2, 0});
            }));
        }
    }
    const auto quickest = [&](const std::vector<double>& times) {
        return candidates[static_cast<std::size_t>(std::min_element(times.begin(), times.end()) -
                                                   times.begin())];
    };
    return {quickest(rotating), quickest(looked_up), quickest(carried)};
}

/** The kernels chosen for this process (see `choose_gammatone_kernel`), chosen once. */
template <typename Filter>
const GammatoneKernels<Filter>& best_gammatone_kernel() {
    static const GammatoneKernels<Filter> chosen = choose_gammatone_kernel<Filter>();
    return chosen;
}

}  // namespace detail
}  // namespace vorl
