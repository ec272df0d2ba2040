#include <vorl/extractor/synthesis.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using vorl::extractor::Synthesis;
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
    const Vec re = {0.5, -1.25, 2.0}, im = {0.75, 0.5, -0.125};
    const std::vector<std::size_t> delays = {0, 7, 300};
    const std::size_t n = 1000, m = 3;
    const Vec z = random_values(2 * n * m, 1), w = random_values(n * m, 2);
    for (const Vec* weights : {static_cast<const Vec*>(nullptr), &w}) {
        const Vec expected = reference(re, im, delays, z, weights, n);
        Synthesis synthesis(re, im, delays);
        Vec y(n, -1.0);
        std::size_t t = 0;
        for (const std::size_t chunk : {0u, 1u, 2u, 5u, 299u, 301u}) {  // shorter and longer than delays
            for (std::size_t a = 0; a < chunk; a += 64) {  // ranges of a chunk, rendered apart
                synthesis.render(z.data() + 2 * t * m, weights ? w.data() + t * m : nullptr, chunk,
                                 a, std::min(chunk, a + 64), y.data() + t);
            }
            synthesis.advance(z.data() + 2 * t * m, weights ? w.data() + t * m : nullptr, chunk);
            t += chunk;
        }
        synthesis.render(z.data() + 2 * t * m, weights ? w.data() + t * m : nullptr, n - t, 0,
                         n - t, y.data() + t);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::memcmp(&y[i], &expected[i], sizeof(double)), 0) << i;
        }
    }
}

TEST(Synthesis, RefusesMismatchedBands) {
    EXPECT_THROW(Synthesis({1.0}, {0.0, 1.0}, {0}), std::invalid_argument);
}

}  // namespace
