#pragma once

// The NumPy arrays `_engine` takes, as the core's views of them.

#include <vorl/continuous/signal_view.hpp>

#include <pybind11/numpy.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace vorl_python {

namespace py = pybind11;

/** Rows of doubles one after the other: (re, im) pairs, weights. */
using Rows = py::array_t<double, py::array::c_style>;

/** A (channels, samples) float64 array of any strides. */
inline vorl::SignalView signal_of(const py::array_t<double>& a) {
    if (a.ndim() != 2) throw std::invalid_argument("signal must be (channels, samples)");
    return {reinterpret_cast<const char*>(a.data()), a.strides(0), a.strides(1),
            static_cast<std::size_t>(a.shape(0)), static_cast<std::size_t>(a.shape(1))};
}

/** Throws unless `rows` is None or (n, m). */
inline void check_rows(const char* what, const std::optional<Rows>& rows, std::size_t n,
                       std::size_t m) {
    if (rows && (rows->ndim() != 2 || static_cast<std::size_t>(rows->shape(0)) != n ||
                 static_cast<std::size_t>(rows->shape(1)) != m)) {
        throw std::invalid_argument(std::string(what) + " must be (" + std::to_string(n) +
                                    ", " + std::to_string(m) + ")");
    }
}

}  // namespace vorl_python
