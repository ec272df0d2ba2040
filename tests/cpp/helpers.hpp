#pragma once

// What the C++ tests share: a transform that changes nothing, bit-for-bit
// equality, and reproducible noise.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

namespace vorl_test {

using Vec = std::vector<double>;

/** The transform that leaves features as they are. */
inline double identity(double x) { return x; }

/** Equal bit patterns, or both NaN (a NaN's sign and payload depend on operand order). */
inline bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

/** `n` samples of standard normal noise, the same for the same `seed`. */
inline Vec noise(std::size_t n, unsigned seed = 1) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Vec x(n);
    for (double& v : x) v = normal(rng);
    return x;
}

}  // namespace vorl_test
