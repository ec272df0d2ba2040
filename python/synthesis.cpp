// vorl._engine.Synthesis and Resynthesis: the core's synthesis streams, run with
// the interpreter lock released and stopped by Ctrl-C. Converts only.
#include "arrays.hpp"
#include "interpreter.hpp"

#include <vorl/synthesis/resynthesis.hpp>
#include <vorl/synthesis/synthesis_stream.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
using vorl_python::Rows;

void bind_synthesis(py::module_& m) {
    py::class_<vorl::SynthesisStream>(m, "Synthesis",
                                      "Complex band signals put back together, in chunks.")
        .def(py::init<std::vector<double>, std::vector<double>, std::vector<std::size_t>,
                      std::size_t>(),
             py::arg("factor_re"), py::arg("factor_im"), py::arg("delays"), py::arg("threads"))
        .def(
            "push",
            [](vorl::SynthesisStream& stream, const Rows& pairs,
               const std::optional<Rows>& weights) {
                // (samples, 2 bands), or (planes, samples, 2 bands) for several planes.
                const std::size_t m = stream.bands();
                const py::ssize_t d = pairs.ndim();
                if ((d != 2 && d != 3) || static_cast<std::size_t>(pairs.shape(d - 1)) != 2 * m) {
                    throw std::invalid_argument("bands must be (samples, " +
                                                std::to_string(2 * m) + ") pairs");
                }
                const std::size_t planes = d == 3 ? static_cast<std::size_t>(pairs.shape(0)) : 1;
                const std::size_t n = static_cast<std::size_t>(pairs.shape(d - 2));
                vorl_python::check_rows("weights", weights, n, m);
                py::array_t<double> result(d == 3 ? std::vector<py::ssize_t>{py::ssize_t(planes),
                                                                             py::ssize_t(n)}
                                                  : std::vector<py::ssize_t>{py::ssize_t(n)});
                double* out = result.mutable_data();
                {
                    vorl_python::Unlocked unlocked;
                    stream.push(pairs.data(), planes, weights ? weights->data() : nullptr, n, out,
                                vorl_python::CheckSignals{unlocked});
                }
                return result;
            },
            py::arg("pairs").noconvert(), py::arg("weights").noconvert(),
            "The output samples of a chunk of (samples, 2 bands) (re, im) pairs, or of\n"
            "(planes, samples, 2 bands), weighted by (samples, bands) weights or None.");

    py::class_<vorl::Resynthesis>(m, "Resynthesis", "Analysis and synthesis of a signal, in chunks.")
        .def(py::init<vorl::Bank, std::optional<std::int32_t>, std::vector<double>,
                      std::vector<double>, std::vector<std::size_t>, std::size_t>(),
             py::arg("bank"), py::arg("channel"), py::arg("factor_re"), py::arg("factor_im"),
             py::arg("delays"), py::arg("threads"))
        .def(
            "push",
            [](vorl::Resynthesis& stream, const py::array_t<double>& chunk,
               const std::optional<Rows>& weights) {
                const vorl::SignalView signal = vorl_python::signal_of(chunk);
                vorl_python::check_rows("weights", weights, signal.samples, stream.bands());
                py::object result;
                {
                    vorl_python::Unlocked unlocked;
                    stream.push(signal, weights ? weights->data() : nullptr,
                                vorl_python::NewArray{unlocked, result},
                                vorl_python::CheckSignals{unlocked});
                }
                return result;
            },
            py::arg("chunk").noconvert(), py::arg("weights").noconvert(),
            "The output samples of a chunk (channels x samples float64), its bands weighted\n"
            "by (samples, bands) weights or None.");
}
