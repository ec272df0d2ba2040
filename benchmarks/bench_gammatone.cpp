// The lane kernels against the floating-point bound of their own work.
//
// For every kernel variant this CPU runs (each instruction set, the vectors
// of filters it runs side by side and the frames it takes together), the
// bound is the time the core
// needs to issue the operations of one recursion step on one vector of
// filters (multiplies, adds, square root and flushes, counted from
// `gammatone_step` itself) with no dependency between them. Beside it: the
// kernel's time per vector and sample on a default frame (64 filters, 1024
// samples, 44.1 kHz), framed (twelve frames from rest in one call, rotating
// or with the rotation table) and continuous (filters carried through the
// signal into frame sums), and the ratios. Every time is the best of several
// repeats.
//
//     build/bench/vorl_bench_gammatone        (configure with -DVORL_BUILD_BENCHMARKS=ON)
#include <vorl/extractor/gammatone_filterbank.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;
namespace detail = vorl::detail;

template <typename F>
double best_seconds(F&& run, int calls) {
    double best = 1e30;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / calls);
    }
    return best;
}

// ---------------------------------------------------------------------------
// The op mix of one step, counted by running the step on a value that counts.

struct Mix {
    int mul = 0, add = 0, sqrt = 0, flush = 0;
};
bool operator!=(const Mix& a, const Mix& b) {
    return a.mul != b.mul || a.add != b.add || a.sqrt != b.sqrt || a.flush != b.flush;
}
Mix counted;

struct Counted {
    Counted() = default;
    Counted(double) {}
};
Counted operator*(Counted, Counted) { ++counted.mul; return {}; }
Counted operator+(Counted, Counted) { ++counted.add; return {}; }
Counted operator-(Counted, Counted) { ++counted.add; return {}; }
struct CountedMath {
    static Counted sqrt(Counted) { ++counted.sqrt; return {}; }
    static Counted flush(Counted) { ++counted.flush; return {}; }
};

// The whole step, or without the rotation: what a kernel issues whose
// rotations come from a table. Plus the frame sum of the envelope.
Mix step_mix(bool with_rotation) {
    counted = {};
    detail::GammatoneState<Counted> st;
    const detail::GammatoneCoefficients<Counted> c{};
    if (with_rotation) {
        detail::gammatone_step<CountedMath>(st, c, Counted(), Counted());
    } else {
        detail::filter_sample<CountedMath>(st, c, Counted(), Counted(), Counted(), Counted());
    }
    Mix mix = counted;
    mix.add += 1;
    return mix;
}

// ---------------------------------------------------------------------------
// The bound: a mix issued `reps` times with no dependency chain. Each input
// is made opaque before every use (an empty asm that "changes" it, no
// instruction) and each result is kept (an empty asm that "reads" it), so
// the compiler emits every operation and the core may overlap all of them.

template <typename Vec>
inline __attribute__((always_inline)) void touch(Vec& v) { asm volatile("" : "+v"(v)); }
template <typename Vec>
inline __attribute__((always_inline)) void keep(const Vec& v) { asm volatile("" : : "v"(v)); }

template <int W, int Mul, int Add, int Sqrt, int Flush>
inline __attribute__((always_inline)) void issue(std::size_t reps) {
    using Vec = typename detail::Lanes<W>::Vec;
    using Math = detail::LaneMath<W>;
    const Vec zero = {};
    Vec x[4] = {zero + 1.5, zero + 2.5, zero + 3.5, zero + 4.5};
    Vec one = zero + 1, nil = zero, root = zero + 2, tiny = zero + 1e-300;
    touch(one);
    touch(nil);
    for (std::size_t r = 0; r < reps; ++r) {
#pragma GCC unroll 32
        for (int i = 0; i < Mul; ++i) { touch(x[i % 4]); keep(x[i % 4] * one); }
#pragma GCC unroll 32
        for (int i = 0; i < Add; ++i) { touch(x[i % 4]); keep(x[i % 4] + nil); }
#pragma GCC unroll 4
        for (int i = 0; i < Sqrt; ++i) { touch(root); keep(Math::sqrt(root)); }
#pragma GCC unroll 4
        for (int i = 0; i < Flush; ++i) { touch(tiny); keep(Math::flush(tiny)); }
    }
}

// The mixes the loops issue; main checks them against the counted ones.
constexpr Mix full_mix{20, 17, 1, 2}, table_mix{16, 15, 1, 2};

template <int W>
inline __attribute__((always_inline)) void issue_mix(std::size_t reps, bool full) {
    if (full) {
        issue<W, full_mix.mul, full_mix.add, full_mix.sqrt, full_mix.flush>(reps);
    } else {
        issue<W, table_mix.mul, table_mix.add, table_mix.sqrt, table_mix.flush>(reps);
    }
}

using Issue = void (*)(std::size_t, bool);
#define VORL_BENCH_ISSUE(isa, W) \
    VORL_TARGET_##isa void issue_##isa(std::size_t r, bool f) { issue_mix<W>(r, f); }
VORL_FOR_EACH_ISA(VORL_BENCH_ISSUE)
#undef VORL_BENCH_ISSUE
#define VORL_BENCH_ENTRY(isa, W) &issue_##isa,
/** The bound's loop for each instruction set, in the order of `simd::isas`. */
constexpr Issue issues[] = {VORL_FOR_EACH_ISA(VORL_BENCH_ENTRY)};
#undef VORL_BENCH_ENTRY

void print_mix(const char* what, const Mix& mix) {
    std::printf("%-28s %2d mul, %2d add, %d sqrt, %d flush\n", what, mix.mul, mix.add, mix.sqrt,
                mix.flush);
}

}  // namespace

int main() {
    print_mix("op mix per vector and sample", step_mix(true));
    print_mix("  with rotations looked up", step_mix(false));
    if (step_mix(true) != full_mix || step_mix(false) != table_mix) {
        std::printf("the bound loops issue other mixes: update full_mix and table_mix\n");
        return 1;
    }

    const std::size_t filters = 64, samples = 1024;
    const Filterbank fb(samples, filters, 44100, [](double x) { return std::log10(x); }, -1, 50,
                        8000, 0);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal;
    // Twelve frames in a row (hop = frame length), which a kernel that runs two
    // frames together takes in pairs.
    const std::size_t frames = 12;
    std::vector<double> frame(samples * frames), out(filters * frames);
    for (double& s : frame) s = normal(rng);
    volatile double sink = 0;
    const auto table = detail::make_rotation_table(fb.filters.data(), filters, samples);

    std::printf("\ndefault frame: %zu filters x %zu samples, rotation table %.2f MiB\n", filters,
                samples, table.values.size() * 8.0 / (1 << 20));
    std::printf("ns per vector and sample. bound: of the full mix / of the mix without rotation;\n"
                "framed: rotating / with the table; continuous: filters carried through the\n"
                "signal, adding to one open frame / to two (frames overlapping by half);\n"
                "ratios to the full mix (the table kernel also to its own mix); frame: us per\n"
                "default frame, rotating / with the table\n");
    std::printf("%-13s %15s %15s %15s %15s %9s %15s %15s\n", "kernel", "bound", "framed",
                "continuous", "to full mix", "to own", "cont/full", "frame us");
    for (const auto& k : detail::gammatone_kernels<Filter>) {
        if (!k.supported()) continue;
        const std::size_t vector_samples = (filters + k.width - 1) / k.width * samples;
        const Issue issue = issues[k.isa];
        const auto run = [&](const detail::RotationTable* rotations) {
            k.run(fb.filters.data(), filters, fb.decay, frame.data(), samples, frames, samples,
                  out.data(), filters, rotations);
            sink = sink + out[3];
        };
        std::vector<detail::GammatoneState<double>> states(filters);
        for (auto& state : states) detail::start_at_rest(state, 0.0);
        std::vector<double> sums(2 * detail::frame_sums_size(filters));
        double* const open_frames[] = {sums.data(), sums.data() + sums.size() / 2};
        const auto carry_on = [&](std::size_t open) {
            k.run_continuous(detail::Output::frame_sums, fb.filters.data(), states.data(), filters,
                             fb.decay, frame.data(), samples, {nullptr, 0, open_frames, open, 0});
            sink = sink + sums[3];
        };
        // Rounds alternate the six, so that a slow spell of a shared machine
        // hits all of them; each keeps its best.
        double full = 1e30, own = 1e30, rotating = 1e30, looked_up = 1e30, continuous = 1e30,
               overlapping = 1e30;
        for (int round = 0; round < 8; ++round) {
            full = std::min(full, best_seconds([&] { issue(vector_samples, true); }, 10));
            own = std::min(own, best_seconds([&] { issue(vector_samples, false); }, 10));
            rotating = std::min(rotating, best_seconds([&] { run(nullptr); }, 1) / frames);
            looked_up = std::min(looked_up, best_seconds([&] { run(&table); }, 1) / frames);
            continuous = std::min(continuous, best_seconds([&] { carry_on(1); }, 10));
            overlapping = std::min(overlapping, best_seconds([&] { carry_on(2); }, 10));
        }
        const double ns = 1e9 / vector_samples;
        std::printf("%-13s %6.3f /%6.3f %6.3f /%6.3f %6.3f /%6.3f %6.2fx /%6.2fx %8.2fx "
                    "%6.2fx /%6.2fx %6.1f /%6.1f\n", k.name, full * ns, own * ns, rotating * ns,
                    looked_up * ns, continuous * ns, overlapping * ns, rotating / full,
                    looked_up / full, looked_up / own, continuous / full, overlapping / full,
                    rotating * 1e6, looked_up * 1e6);
    }

    // The choice for this process (from the CPU model where known), and what a
    // measurement of a few milliseconds would choose.
    const auto& chosen = detail::best_gammatone_kernel<Filter>();
    const auto measured = detail::choose_gammatone_kernel<Filter>(false);
    std::printf("\nchosen for this process (VORL_KERNEL=isa/variant forces one): framed %s / %s, "
                "continuous %s\n", chosen.rotating.name, chosen.looked_up.name,
                chosen.continuous.name);
    std::printf("a short measurement chooses: framed %s / %s, continuous %s\n",
                measured.rotating.name, measured.looked_up.name, measured.continuous.name);

    const std::vector<double> first(frame.begin(), frame.begin() + samples);
    const double scalar = best_seconds([&] {
        for (std::size_t i = 0; i < filters; ++i) fb.filters[i].process(first, out[i], fb.decay);
        sink = sink + out[3];
    }, 20);
    Eigen::MatrixXd mono = Eigen::Map<Eigen::MatrixXd>(frame.data(), 1, samples);
    const double call = best_seconds([&] {
        sink = sink + fb(Filterbank::MatrixView(mono))[3];
    }, 50);
    std::printf("\nscalar Filter::process: %.1f us per frame; extractor call (best kernel, "
                "table): %.1f us\n", scalar * 1e6, call * 1e6);
    return 0;
}
