// vorl._engine.Synthesis: complex band signals put back together natively, the
// interpreter lock released, threads sharing ranges of output samples.
#include "interpreter.hpp"

#include <vorl/extractor/synthesis.hpp>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace {

using Pairs = py::array_t<double, py::array::c_style>;

/** Output samples a task renders: small enough for Ctrl-C to be seen within 0.1 s. */
constexpr std::size_t block_samples = 1 << 14;

/**
 * A `Synthesis` fed in chunks: `push` renders a chunk's output samples, then
 * keeps what the next chunk needs. One push at a time; one that fails or is
 * interrupted keeps nothing, so the same chunk can be pushed again.
 */
class SynthesisStream {
public:
    SynthesisStream(std::vector<double> factor_re, std::vector<double> factor_im,
                    std::vector<std::size_t> delays, unsigned threads)
        : core_(std::move(factor_re), std::move(factor_im), std::move(delays)),
          threads_(threads == 0 ? 1 : threads) {}

    /** `z`: (samples, 2 * bands) (re, im) pairs; `weights`: (samples, bands) or None. */
    py::array_t<double> push(const Pairs& z, const std::optional<Pairs>& weights) {
        const std::size_t m = core_.bands();
        if (z.ndim() != 2 || static_cast<std::size_t>(z.shape(1)) != 2 * m) {
            throw std::invalid_argument(fmt::format("bands must be (samples, {}) pairs", 2 * m));
        }
        const std::size_t n = static_cast<std::size_t>(z.shape(0));
        if (weights && (weights->ndim() != 2 || static_cast<std::size_t>(weights->shape(0)) != n ||
                        static_cast<std::size_t>(weights->shape(1)) != m)) {
            throw std::invalid_argument(fmt::format("weights must be ({}, {})", n, m));
        }
        if (busy_) throw std::runtime_error("push() called while another push() of this stream runs");
        busy_ = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{busy_};
        py::array_t<double> result(static_cast<py::ssize_t>(n));
        double* out = result.mutable_data();
        const double* zs = z.data();
        const double* ws = weights ? weights->data() : nullptr;
        const std::size_t tasks = (n + block_samples - 1) / block_samples;
        vorl_python::run_tasks(
            tasks, threads_,
            [&](std::size_t task, const std::atomic<bool>&) {
                const std::size_t t0 = task * block_samples;
                core_.render(zs, ws, n, t0, std::min(n, t0 + block_samples), out);
            },
            n <= block_samples);
        {
            vorl_python::Unlocked unlocked;
            core_.advance(zs, ws, n);
        }
        return result;
    }

private:
    vorl::extractor::Synthesis core_;
    unsigned threads_;
    bool busy_ = false;  // read and set with the interpreter lock held
};

}  // namespace

void bind_synthesis(py::module_& m) {
    py::class_<SynthesisStream>(m, "Synthesis",
                                "Complex band signals put back together, in chunks.")
        .def(py::init<std::vector<double>, std::vector<double>, std::vector<std::size_t>,
                      unsigned>(),
             py::arg("factor_re"), py::arg("factor_im"), py::arg("delays"), py::arg("threads"))
        .def("push", &SynthesisStream::push, py::arg("pairs").noconvert(),
             py::arg("weights").noconvert(),
             "The output samples of a chunk of (samples, 2 bands) (re, im) pairs, weighted\n"
             "by (samples, bands) weights or None.");
}
