// vorl._batch: the gammatone filterbank over every frame of a whole signal,
// with the interpreter lock released and the frames spread over threads.
// Each frame takes the same path as a call of the `_vorl` extractor on it, so
// every row equals that call bit for bit.
#include "interpreter.hpp"

#include <vorl/extractor/gammatone_filterbank.hpp>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace py = pybind11;
using Filterbank = vorl::extractor::GammatoneFilterbank<double>;

namespace {

double identity(double x) { return x; }

/** Frames starting at 0, hop, 2*hop, ... that lie wholly inside `samples`. */
std::size_t whole_frames(std::size_t samples, std::size_t frame_length, std::size_t hop) {
    return samples < frame_length ? 0 : 1 + (samples - frame_length) / hop;
}

py::array_t<double> gammatonegram(Filterbank::MatrixView signal, std::size_t frame_length,
                                  std::size_t hop_length, std::size_t num_bands,
                                  std::int32_t sample_rate, double low_Hz, double high_Hz,
                                  double temporal_integration, std::int32_t channel, bool log,
                                  unsigned threads) {
    if (frame_length == 0 || hop_length == 0 || threads == 0) {
        throw std::invalid_argument("frame_length, hop_length and threads must be positive");
    }
    const Filterbank fb(frame_length, num_bands, sample_rate,
                        log ? static_cast<double (*)(double)>(&std::log10) : &identity, channel,
                        low_Hz, high_Hz, temporal_integration);
    const std::size_t frames =
        whole_frames(static_cast<std::size_t>(signal.cols()), frame_length, hop_length);
    py::array_t<double> gram({frames, num_bands});
    double* rows = gram.mutable_data();

    // Thread w takes the w-th contiguous share of the frames. Errors (a missing
    // channel, say) come from the extractor itself and are rethrown after the join.
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, frames));
    {
        vorl_python::Unlocked unlocked;
        vorl_python::run_on_threads(workers, [&](std::size_t w) {
            for (std::size_t i = frames * w / workers; i < frames * (w + 1) / workers; ++i) {
                const auto frame = signal.middleCols(static_cast<Eigen::Index>(i * hop_length),
                                                     static_cast<Eigen::Index>(frame_length));
                const std::vector<double> features = fb(Filterbank::MatrixView(frame));
                std::copy(features.begin(), features.end(), rows + i * num_bands);
            }
        });
    }
    return gram;
}

}  // namespace

PYBIND11_MODULE(_batch, m) {
    m.doc() = "Gammatone features of whole signals, computed natively in parallel.";
    m.def("gammatonegram", &gammatonegram, py::arg("signal").noconvert(), py::arg("frame_length"),
          py::arg("hop_length"), py::arg("num_bands"), py::arg("sample_rate"), py::arg("low_Hz"),
          py::arg("high_Hz"), py::arg("temporal_integration"), py::arg("channel"), py::arg("log"),
          py::arg("threads"),
          "Features of every whole frame of `signal` (channels x samples, column-major\n"
          "float64), one row per frame.");
    m.def(
        "simd_kernel",
        [] { return vorl::extractor::detail::best_gammatone_kernel<Filterbank::Filter>().name; },
        "Instruction set of the filter kernel chosen for this CPU.");
}
