// vorl._engine.Synthesis: complex band signals put back together natively, the
// interpreter lock released, threads sharing ranges of output samples.
// vorl._engine.Resynthesis: analysis and synthesis of a signal in one pass.
#include "interpreter.hpp"
#include "signal.hpp"

#include <vorl/extractor/continuous_filterbank.hpp>
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

/** Throws unless `weights` is None or (samples, bands) = (n, m). */
void check_weights(const std::optional<Pairs>& weights, std::size_t n, std::size_t m) {
    if (weights && (weights->ndim() != 2 || static_cast<std::size_t>(weights->shape(0)) != n ||
                    static_cast<std::size_t>(weights->shape(1)) != m)) {
        throw std::invalid_argument(fmt::format("weights must be ({}, {})", n, m));
    }
}

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
        check_weights(weights, n, m);
        vorl_python::check_ready(state_);  // a push that fails keeps nothing: never broken
        state_ = vorl_python::PushState::pushing;
        struct Done {
            vorl_python::PushState& state;
            ~Done() { state = vorl_python::PushState::ready; }
        } done{state_};
        py::array_t<double> result(static_cast<py::ssize_t>(n));
        double* out = result.mutable_data();
        const double* zs = z.data();
        const double* ws = weights ? weights->data() : nullptr;
        if (n <= block_samples) {  // brief: on this thread
            vorl_python::Unlocked unlocked;
            core_.push(zs, ws, n, out);
            return result;
        }
        if (threads_ == 1) {  // in order, a block at a time; an interrupted push keeps nothing
            vorl::extractor::Synthesis before = core_;
            try {
                vorl_python::run_tasks(1, 1, [&](std::size_t, const std::atomic<bool>& stop) {
                    for (std::size_t t0 = 0; t0 < n && !stop; t0 += block_samples) {
                        core_.push(zs + 2 * m * t0, ws ? ws + m * t0 : nullptr,
                                   std::min(block_samples, n - t0), out + t0);
                    }
                });
            } catch (...) {
                core_ = std::move(before);
                throw;
            }
            return result;
        }
        // Threads render ranges of the output from the same kept terms, then keep the chunk's.
        vorl_python::run_tasks((n + block_samples - 1) / block_samples, threads_,
                               [&](std::size_t task, const std::atomic<bool>&) {
                                   const std::size_t t0 = task * block_samples;
                                   core_.render(zs, ws, n, t0, std::min(n, t0 + block_samples),
                                                out);
                               });
        {
            vorl_python::Unlocked unlocked;
            core_.advance(zs, ws, n);
        }
        return result;
    }

private:
    vorl::extractor::Synthesis core_;
    unsigned threads_;
    vorl_python::PushState state_ = vorl_python::PushState::ready;
};

/**
 * Analysis and synthesis of a signal in one pass, fed in chunks: each plane's
 * filters run through a span of samples and give each band's weighted term
 * (the analytic output times its factor) into a buffer that stays in the
 * cache, from which the synthesis renders the span at once. The output equals a
 * `SynthesisStream` fed the analytic stream's bands, bit for bit. Threads
 * share the planes. A push that fails or is interrupted breaks the object.
 */
class Resynthesis {
public:
    Resynthesis(const vorl_python::Bank& bank, std::optional<std::int32_t> channel,
                std::vector<double> factor_re, std::vector<double> factor_im,
                std::vector<std::size_t> delays, unsigned threads)
        : bank_(bank),
          channel_(channel),
          synthesis_(std::move(factor_re), std::move(factor_im), std::move(delays)),
          threads_(threads == 0 ? 1 : threads) {
        if (synthesis_.bands() != bank_.filters.size()) {
            throw std::invalid_argument("one factor and one delay per filter");
        }
    }

    /** `chunk`: (channels, samples); `weights`: (samples, bands) or None. */
    py::array_t<double> push(const py::array_t<double>& chunk,
                             const std::optional<Pairs>& weights) {
        const vorl_python::Signal signal(chunk);
        const std::size_t m = bank_.filters.size(), n = signal.samples;
        check_weights(weights, n, m);
        vorl_python::check_ready(state_);
        if (!planes_) {
            planes_.emplace(channel_, signal.channels);
            for (std::size_t p = 0; p < planes_->count(); ++p) {
                analysis_.emplace_back(bank_.filters, bank_.decay);
                syntheses_.push_back(synthesis_);
            }
        } else {
            vorl_python::check_channels(*planes_, signal.channels);
        }
        const std::size_t planes = planes_->count();
        py::array_t<double> result(channel_ ? std::vector<py::ssize_t>{py::ssize_t(n)}
                                            : std::vector<py::ssize_t>{py::ssize_t(planes),
                                                                       py::ssize_t(n)});
        double* out = result.mutable_data();
        const double* ws = weights ? weights->data() : nullptr;
        state_ = vorl_python::PushState::pushing;
        try {
            vorl_python::run_tasks(planes, threads_, [&](std::size_t p,
                                                         const std::atomic<bool>& stop) {
                std::vector<double> x(span), terms(m * span);
                const std::vector<double>& re = synthesis_.factor_re();
                const std::vector<double>& im = synthesis_.factor_im();
                for (std::size_t t0 = 0; t0 < n && !stop; t0 += span) {
                    const std::size_t count = std::min(span, n - t0);
                    signal.read(*planes_, p, t0, count, x.data());
                    analysis_[p].synthesis_terms(x.data(), count, terms.data(), m, re.data(),
                                                 im.data(), ws ? ws + m * t0 : nullptr, m);
                    syntheses_[p].push_terms(terms.data(), count, out + p * n + t0);
                }
            });
        } catch (...) {
            state_ = vorl_python::PushState::broken;  // some planes ran further than others
            throw;
        }
        state_ = vorl_python::PushState::ready;
        return result;
    }

private:
    /** Samples analysed and synthesised at a time: their terms stay in the cache. */
    static constexpr std::size_t span = 512;

    vorl_python::Bank bank_;
    std::optional<std::int32_t> channel_;
    vorl::extractor::Synthesis synthesis_;  ///< the design, at rest
    unsigned threads_;
    std::optional<vorl_python::Planes> planes_;  ///< fixed by the first chunk
    std::vector<vorl::extractor::ContinuousFilterbank> analysis_;  ///< one per plane
    std::vector<vorl::extractor::Synthesis> syntheses_;            ///< one per plane
    vorl_python::PushState state_ = vorl_python::PushState::ready;
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
    py::class_<Resynthesis>(m, "Resynthesis", "Analysis and synthesis of a signal, in chunks.")
        .def(py::init<const vorl_python::Bank&, std::optional<std::int32_t>, std::vector<double>,
                      std::vector<double>, std::vector<std::size_t>, unsigned>(),
             py::arg("bank"), py::arg("channel"), py::arg("factor_re"), py::arg("factor_im"),
             py::arg("delays"), py::arg("threads"))
        .def("push", &Resynthesis::push, py::arg("chunk").noconvert(),
             py::arg("weights").noconvert(),
             "The output samples of a chunk (channels x samples float64), its bands weighted\n"
             "by (samples, bands) weights or None.");
}
