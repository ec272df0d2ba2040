#pragma once

#include <algorithm>
#include <cmath>

namespace vorl {

/**
 * What a band level becomes in a row: with `log`, log10 of max(level, floor),
 * the C library's log10 as the framed extractor applies it (a floor of 0 keeps
 * log10(0) = -inf, and NaN stays NaN); otherwise the level itself.
 */
struct Level {
    bool log = true;
    double floor = 0.0;
    double operator()(double level) const {
        return log ? std::log10(std::max(level, floor)) : level;
    }
};

}  // namespace vorl
