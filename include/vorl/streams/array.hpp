#pragma once

#include <cstddef>
#include <functional>
#include <numeric>
#include <vector>

namespace vorl {

/** A result for C++ callers: row-major values of the given shape. */
struct Array {
    std::vector<std::size_t> shape;
    std::vector<double> values;

    /**
     * An `allocate` argument of the streams' `push`: sizes this array to the
     * shape it is given and returns where the values go.
     */
    auto allocator() {
        return [this](const std::vector<std::size_t>& dims) {
            shape = dims;
            values.assign(std::accumulate(dims.begin(), dims.end(), std::size_t(1),
                                          std::multiplies<std::size_t>()),
                          0.0);
            return values.data();
        };
    }
};

}  // namespace vorl
