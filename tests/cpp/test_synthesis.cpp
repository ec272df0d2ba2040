#include <vorl/synthesis/synthesis.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using vorl::Synthesis;
using Vec = std::vector<double>;

Vec random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Vec v(n);
    for (double& x : v) x = normal(rng);
    return v;
}

// y[t] = sum_k Re(c_k w_k[t - d_k] z_k[t - d_k]), bands in order, written out plainly.
Vec reference(const Vec& re, const Vec& im, const std::vector<std::size_t>& d, const Vec& z,
              const Vec* w, std::size_t n) {
    const std::size_t m = re.size();
    Vec y(n, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t k = 0; k < m; ++k) {
            if (t < d[k]) continue;
            const std::size_t s = t - d[k];
            double zr = z[2 * (s * m + k)], zi = z[2 * (s * m + k) + 1];
            if (w) {
                zr = (*w)[s * m + k] * zr;
                zi = (*w)[s * m + k] * zi;
            }
            y[t] = y[t] + (re[k] * zr - im[k] * zi);
        }
    }
    return y;
}

TEST(Synthesis, AnyChunkingAndRangesGiveTheBitsOfTheDefinition) {
    // 19 bands: whole tiles of every lane width and bands left over.
    const std::size_t n = 6000, m = 19;
    const Vec re = random_values(m, 3), im = random_values(m, 4);
    std::vector<std::size_t> delays(m);
    for (std::size_t k = 0; k < m; ++k) delays[k] = (k * 37) % 300;
    delays[5] = 0;
    const Vec z = random_values(2 * n * m, 1), w = random_values(n * m, 2);
    for (const Vec* weights : {static_cast<const Vec*>(nullptr), &w}) {
        const Vec expected = reference(re, im, delays, z, weights, n);
        const auto render = [&](const Synthesis& synthesis, std::size_t t, std::size_t chunk,
                                std::size_t a, std::size_t b, Vec& y) {
            synthesis.render(z.data() + 2 * t * m, weights ? w.data() + t * m : nullptr, chunk,
                             a, b, y.data() + t);
        };
        Synthesis synthesis(re, im, delays);
        Vec y(n, -1.0);
        std::size_t t = 0;
        // Chunks shorter and longer than the delays and than a span, pushed whole (the
        // history moving to the front of the lines now and then) or in ranges rendered apart.
        bool whole = false;
        for (const std::size_t chunk : {0u, 1u, 2u, 5u, 299u, 301u, 700u, 1u, 2500u, 80u}) {
            const double* zt = z.data() + 2 * t * m;
            const double* wt = weights ? w.data() + t * m : nullptr;
            if ((whole = !whole)) {
                synthesis.push(zt, wt, chunk, y.data() + t);
            } else {
                for (std::size_t a = 0; a < chunk; a += 250) {
                    render(synthesis, t, chunk, a, a + 250, y);
                }
                synthesis.advance(zt, wt, chunk);
            }
            t += chunk;
        }
        render(synthesis, t, n - t, 0, n - t, y);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::memcmp(&y[i], &expected[i], sizeof(double)), 0) << i;
        }
    }
}

TEST(Synthesis, EveryKernelGivesTheSameBits) {
    namespace d = vorl::detail;
    const std::size_t n = 1100, m = 21;
    const Vec re = random_values(m, 5), im = random_values(m, 6);
    const Vec z = random_values(2 * n * m, 7), w = random_values(n * m, 8);
    std::vector<std::size_t> delays(m);
    for (std::size_t k = 0; k < m; ++k) delays[k] = 3 * k;
    const Vec kept(m * delays.back(), 0.0);  // nothing before the chunk
    const d::SynthesisPlan plan{re.data(), im.data(), delays.data(), m,
                                  delays.back(), kept.data(), delays.back(), false};
    const Vec expected = reference(re, im, delays, z, &w, n);
    for (const auto& kernel : d::synthesis_kernels) {
        if (!kernel.supported()) continue;
        Vec y(n, -1.0);
        kernel.render(plan, z.data(), w.data(), n, 0, n, y.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::memcmp(&y[i], &expected[i], sizeof(double)), 0)
                << kernel.name << " sample " << i;
        }
    }
}

TEST(Synthesis, RefusesMismatchedBands) {
    EXPECT_THROW(Synthesis({1.0}, {0.0, 1.0}, {0}), std::invalid_argument);
}

}  // namespace
