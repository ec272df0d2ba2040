// The same bits on every machine: digests of the design, the framed rows and the
// continuous rows for inputs made from integers and exact divisions only. The
// values below were computed on x86-64; the aarch64 build, run under qemu, must
// give them too.
#include <vorl/continuous/continuous_frames.hpp>
#include <vorl/extractor/gammatone_filterbank.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Vec = std::vector<double>;

// FNV-1a over the bytes of each value, least significant first.
struct Digest {
    std::uint64_t value = 14695981039346656037ull;
    void add(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 8; ++i) {
            value ^= (bits >> (8 * i)) & 0xffu;
            value *= 1099511628211ull;
        }
    }
};

Vec signal(std::size_t n, std::int64_t step, std::int64_t period) {
    Vec x(n);
    for (std::size_t t = 0; t < n; ++t) {
        x[t] = static_cast<double>((static_cast<std::int64_t>(t) * step + 13) % period -
                                   period / 2) / 1024.0;
    }
    return x;
}

double log10_of(double x) { return std::log10(x); }

TEST(Digest, DesignFramedAndContinuousRowsAreTheSameBitsOnEveryMachine) {
    const Filterbank fb(1024, 64, 44100, log10_of, -1, 50, 8000, 0.008);
    Digest design, framed, continuous;
    for (const auto& f : fb.filters) {
        for (double v : {f.cf, f.gain, f.coscf, f.sincf}) design.add(v);
        for (double a : f.a) design.add(a);
    }
    design.add(fb.decay);
    const Vec x = signal(6000, 7919, 2003);
    for (std::size_t start = 0; start + 1024 <= x.size(); start += 512) {
        for (double v : fb(Vec(x.begin() + start, x.begin() + start + 1024))) framed.add(v);
    }
    vorl::ContinuousFrames frames(fb.filters, fb.decay, 1024, 512, log10_of);
    frames.push(x.data(), x.size(), [&](const double* row) {
        for (std::size_t k = 0; k < 64; ++k) continuous.add(row[k]);
    });
    EXPECT_EQ(design.value, 11376003803628961172ull);
    EXPECT_EQ(framed.value, 4411821721595544736ull);
    EXPECT_EQ(continuous.value, 4478382793944577604ull);
}

}  // namespace
