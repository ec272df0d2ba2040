// Time per frame of the default filterbank (64 filters, 1024 samples, 44.1 kHz)
// for every lane kernel this CPU runs, and for the scalar Filter::process loop.
#include <vorl/extractor/gammatone_filterbank.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;

template <typename F>
double best_seconds(F&& run, int calls) {
    double best = 1e30;
    for (int repeat = 0; repeat < 7; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / calls);
    }
    return best;
}

}  // namespace

int main() {
    const Filterbank fb(1024, 64, 44100, [](double x) { return std::log10(x); }, -1, 50, 8000, 0);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal;
    std::vector<double> frame(1024), out(64), roots(64 * 1024);
    for (double& s : frame) s = normal(rng);
    for (double& r : roots) r = std::fabs(normal(rng));
    volatile double sink = 0;

    const double sqrt_s = best_seconds([&] {
        for (double& r : roots) r = std::sqrt(r);
        sink = sink + roots[7];
    }, 200);
    std::printf("%-22s %9.1f us\n", "sqrt x 65536 (baseline)", sqrt_s * 1e6);

    const double scalar_s = best_seconds([&] {
        for (std::size_t i = 0; i < 64; ++i) fb.filters[i].process(frame, out[i], fb.decay);
        sink = sink + out[3];
    }, 50);
    std::printf("%-22s %9.1f us  %5.2fx sqrt\n", "scalar process", scalar_s * 1e6, scalar_s / sqrt_s);

    for (const auto& k : vorl::extractor::detail::gammatone_kernels<Filter>) {
        if (!k.supported()) continue;
        const double s = best_seconds([&] {
            k.run(fb.filters.data(), 64, fb.decay, frame.data(), frame.size(), out.data());
            sink = sink + out[3];
        }, 200);
        std::printf("%-22s %9.1f us  %5.2fx sqrt  %5.1fx faster than scalar\n", k.name, s * 1e6,
                    s / sqrt_s, scalar_s / s);
    }

    Eigen::MatrixXd mono = Eigen::Map<Eigen::MatrixXd>(frame.data(), 1, 1024);
    const double call_s = best_seconds([&] {
        sink = sink + fb(Filterbank::MatrixView(mono))[3];
    }, 200);
    std::printf("%-22s %9.1f us  %5.2fx sqrt\n", "extractor call (array)", call_s * 1e6, call_s / sqrt_s);
    return 0;
}
