// vorl._engine: gammatone features of whole signals and of streams, computed
// natively with the interpreter lock released.
//
//   framed      every frame through the `_vorl` extractor's own path, each
//               filter restarted from rest: rows equal the extractor's output.
//   continuous  every filter carried through the whole signal: frame rows,
//               per-sample envelopes or band signals.
//
// A signal is (channels, samples) float64. Its planes are what gets analysed:
// one channel, the per-sample mean of all channels, or (channel None) every
// channel separately, which adds a leading axis to the result.
#include "interpreter.hpp"
#include "signal.hpp"

#include <vorl/extractor/continuous_frames.hpp>
#include <vorl/extractor/gammatone_filterbank.hpp>

#include <fmt/format.h>
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;
using vorl::extractor::ContinuousFilterbank;
using vorl::extractor::ContinuousFrames;
using Output = ContinuousFilterbank::Output;
using vorl_python::Bank;
using vorl_python::Planes;
using vorl_python::PushState;
using vorl_python::Signal;

namespace {

/**
 * What a band level becomes: with `log`, log10 of max(level, floor), the C
 * library's log10 as the extractor applies it (a floor of 0 keeps log10(0) =
 * -inf, and NaN stays NaN); otherwise the level itself.
 */
struct Level {
    bool log;
    double floor;
    double operator()(double level) const {
        return log ? std::log10(std::max(level, floor)) : level;
    }
};

/** Filters at `center_frequencies`, or `num_bands` spaced on the ERB-rate scale. */
Bank make_bank(std::int32_t sample_rate, const std::optional<std::vector<double>>& center_frequencies,
               std::size_t num_bands, double low_Hz, double high_Hz, double bandwidth_factor,
               double temporal_integration) {
    Bank bank{sample_rate, {}, Filterbank::decay_of(sample_rate, temporal_integration)};
    if (center_frequencies) {
        for (const double cf : *center_frequencies) {
            bank.filters.push_back(Filterbank::design_filter(cf, sample_rate, bandwidth_factor));
        }
    } else {
        bank.filters =
            Filterbank::make_filters(low_Hz, high_Hz, num_bands, sample_rate, bandwidth_factor);
    }
    return bank;
}

/** Whole frames starting at 0, hop, 2*hop, ... in `samples` samples. */
std::size_t whole_frames(std::size_t samples, std::size_t frame_length, std::size_t hop) {
    return samples < frame_length ? 0 : 1 + (samples - frame_length) / hop;
}

constexpr std::size_t block_samples = 4096;  // input read, and stop checked, per block
constexpr std::size_t brief_samples = 1 << 16;  // chunks of a stream this short run inline

std::size_t threads_or_fail(unsigned threads) {
    if (threads == 0) throw std::invalid_argument("threads must be positive");
    return threads;
}

/** Every whole frame of every plane, through the `_vorl` extractor, one row per frame. */
py::array_t<double> framed(Filterbank::MatrixView signal, const Bank& bank,
                           std::size_t frame_length, std::size_t hop_length,
                           std::optional<std::int32_t> channel, bool log, double floor,
                           unsigned threads) {
    if (frame_length == 0 || hop_length == 0) {
        throw std::invalid_argument("frame_length and hop_length must be positive");
    }
    const Planes planes(channel, static_cast<std::size_t>(signal.rows()));
    const std::size_t width = bank.filters.size();
    const std::size_t frames =
        whole_frames(static_cast<std::size_t>(signal.cols()), frame_length, hop_length);
    // A rotation table costs about one and a half frames to make and saves an
    // eighth of each; short signals go without.
    const bool look_up_rotations = frames >= 32;
    // One extractor per plane, all sharing the first one's rotation table.
    std::vector<Filterbank> extractors;
    extractors.reserve(planes.count());
    for (std::size_t p = 0; p < planes.count(); ++p) {
        if (p == 0) {
            extractors.emplace_back(frame_length, bank.sample_rate, Level{log, floor},
                                    planes.on_channel(p), bank.filters, bank.decay,
                                    look_up_rotations);
        } else {
            extractors.emplace_back(extractors.front(), planes.on_channel(p));
        }
    }
    py::array_t<double> result(planes.shape(frames, width));
    double* rows = result.mutable_data();

    // A task is a run of frames of one plane.
    constexpr std::size_t frames_per_task = 16;
    const std::size_t runs = (frames + frames_per_task - 1) / frames_per_task;
    vorl_python::run_tasks(
        runs * planes.count(), threads_or_fail(threads),
        [&](std::size_t task, const std::atomic<bool>& stop) {
            const std::size_t p = task / runs, first = task % runs * frames_per_task;
            for (std::size_t i = first; i < std::min(frames, first + frames_per_task) && !stop;
                 ++i) {
                const auto frame = signal.middleCols(static_cast<Eigen::Index>(i * hop_length),
                                                     static_cast<Eigen::Index>(frame_length));
                const std::vector<double> features = extractors[p](Filterbank::MatrixView(frame));
                std::copy(features.begin(), features.end(), rows + (p * frames + i) * width);
            }
        });
    return result;
}

/** Filter groups for `threads` threads over `planes` planes: whole vector pairs each. */
std::vector<std::size_t> group_bounds(std::size_t width, std::size_t planes, std::size_t threads) {
    const std::size_t unit =
        2 * static_cast<std::size_t>(
                vorl::extractor::detail::best_gammatone_kernel<Filter>().width);
    const std::size_t units = std::max<std::size_t>(1, (width + unit - 1) / unit);
    const std::size_t groups = std::min(units, std::max<std::size_t>(1, (threads + planes - 1) / planes));
    std::vector<std::size_t> bounds;
    for (std::size_t g = 0; g <= groups; ++g) bounds.push_back(std::min(width, units * g / groups * unit));
    return bounds;
}

std::vector<Filter> slice(const std::vector<Filter>& filters, std::size_t lo, std::size_t hi) {
    return std::vector<Filter>(filters.begin() + static_cast<std::ptrdiff_t>(lo),
                               filters.begin() + static_cast<std::ptrdiff_t>(hi));
}

Output output_of(const std::string& output) {
    if (output == "envelopes") return Output::envelope;
    if (output == "band_signals") return Output::band_signal;
    if (output == "analytic") return Output::analytic;
    throw std::invalid_argument(
        "output must be 'rows', 'envelopes', 'band_signals' or 'analytic'");
}

/**
 * The continuous filterbank fed in chunks: each `push` returns what its chunk
 * completed, and the concatenation of the results equals one call on the
 * concatenated chunks. Threads share the planes and groups of filters, fixed
 * by the first chunk. Holds the filter states and, for rows, the sums of the
 * open frames: its memory does not grow with the signal.
 */
class Stream {
public:
    Stream(const Bank& bank, const std::string& output, std::size_t frame_length,
           std::size_t hop_length, std::optional<std::int32_t> channel, bool log, double floor,
           unsigned threads)
        : bank_(bank),
          rows_(output == "rows"),
          what_(rows_ ? Output::envelope : output_of(output)),
          frame_length_(frame_length),
          hop_length_(hop_length),
          channel_(channel),
          level_{log, floor},
          threads_(threads_or_fail(threads)) {
        if (rows_ && (frame_length == 0 || hop_length == 0)) {
            throw std::invalid_argument("frame_length and hop_length must be positive");
        }
    }

    py::array_t<double> push(const py::array_t<double>& chunk) {
        const Signal signal(chunk);
        vorl_python::check_ready(state_);
        if (!planes_) {
            start(signal.channels);
        } else {
            vorl_python::check_channels(*planes_, signal.channels);
        }
        // The analytic output is a pair of doubles (re, im) per filter: a row
        // holds `cols` doubles, which Python views as complex numbers.
        const std::size_t width = bank_.filters.size();
        const std::size_t pair = what_ == Output::analytic ? 2 : 1, cols = pair * width;
        const std::size_t before = seen_, after = seen_ + signal.samples;
        const std::size_t count =
            rows_ ? whole_frames(after, frame_length_, hop_length_) -
                        whole_frames(before, frame_length_, hop_length_)
                  : signal.samples;
        py::array_t<double> result(planes_->shape(count, cols));
        double* out = result.mutable_data();
        const std::size_t groups = bounds_.size() - 1;
        // Per-sample outputs go a block of rows at a time through every group
        // of filters, each writing its columns: blocks whose rows (up to 256
        // KiB) stay in the cache from one group to the next.
        const std::size_t block =
            rows_ ? block_samples
                  : std::clamp<std::size_t>((std::size_t(256) << 10) / (sizeof(double) * cols),
                                            64, block_samples);

        state_ = PushState::pushing;
        try {
            vorl_python::run_tasks(
                planes_->count() * groups, threads_,
                [&](std::size_t task, const std::atomic<bool>& stop) {
                    const std::size_t p = task / groups, lo = bounds_[task % groups];
                    const std::size_t n_filters = bounds_[task % groups + 1] - lo;
                    std::vector<double> x(std::min(block, signal.samples));
                    double* row = out + p * count * cols + pair * lo;
                    for (std::size_t t0 = 0; t0 < signal.samples && !stop; t0 += block) {
                        const std::size_t n = std::min(block, signal.samples - t0);
                        signal.read(*planes_, p, t0, n, x.data());
                        if (rows_) {
                            frames_[task].push(x.data(), n, [&](const double* values) {
                                std::copy(values, values + n_filters, row);
                                row += width;
                            });
                        } else {
                            filters_[task].process(x.data(), n, row + t0 * cols, cols, what_);
                        }
                    }
                },
                signal.samples <= brief_samples);
        } catch (...) {
            state_ = PushState::broken;  // some filters ran further than others
            throw;
        }
        state_ = PushState::ready;
        seen_ = after;
        return result;
    }

    std::size_t samples_seen() const { return seen_; }

private:

    /** Fixes the planes and the groups of filters by the first chunk's channel count. */
    void start(std::size_t channels) {
        planes_.emplace(channel_, channels);
        bounds_ = group_bounds(bank_.filters.size(), planes_->count(), threads_);
        for (std::size_t p = 0; p < planes_->count(); ++p) {
            for (std::size_t g = 0; g + 1 < bounds_.size(); ++g) {
                std::vector<Filter> group = slice(bank_.filters, bounds_[g], bounds_[g + 1]);
                if (rows_) {
                    frames_.emplace_back(std::move(group), bank_.decay, frame_length_,
                                         hop_length_, level_);
                } else {
                    filters_.emplace_back(std::move(group), bank_.decay);
                }
            }
        }
    }

    Bank bank_;
    bool rows_;
    Output what_;
    std::size_t frame_length_, hop_length_;
    std::optional<std::int32_t> channel_;
    Level level_;
    std::size_t threads_;
    std::optional<Planes> planes_;     ///< fixed by the first chunk
    std::vector<std::size_t> bounds_;  ///< filter groups: [bounds[g], bounds[g+1])
    std::vector<ContinuousFrames> frames_;       ///< rows: one per plane and group
    std::vector<ContinuousFilterbank> filters_;  ///< envelopes, band signals: the same
    std::size_t seen_ = 0;
    PushState state_ = PushState::ready;
};

/**
 * The filters carried through the whole signal: frame rows (`output` "rows"),
 * or one row per sample of envelopes or band signals; a stream fed the whole
 * signal at once.
 */
py::array_t<double> continuous(const py::array_t<double>& signal, const Bank& bank,
                               const std::string& output, std::size_t frame_length,
                               std::size_t hop_length, std::optional<std::int32_t> channel,
                               bool log, double floor, unsigned threads) {
    return Stream(bank, output, frame_length, hop_length, channel, log, floor, threads)
        .push(signal);
}

}  // namespace

void bind_synthesis(py::module_& m);  // synthesis.cpp

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Gammatone features of whole signals and streams, computed natively.";

    py::class_<Bank>(m, "Bank", "The filters and the integration factor of one configuration.")
        .def(py::init(&make_bank), py::arg("sample_rate"), py::arg("center_frequencies"),
             py::arg("num_bands"), py::arg("low_Hz"), py::arg("high_Hz"),
             py::arg("bandwidth_factor"), py::arg("temporal_integration"))
        .def_property_readonly(
            "center_frequencies",
            [](const Bank& b) {
                std::vector<double> cfs;
                for (const Filter& f : b.filters) cfs.push_back(f.cf);
                return cfs;
            },
            "Centre frequency of each filter, Hz.")
        .def_readonly("decay", &Bank::decay, "Per-sample integration factor.");

    m.def("framed", &framed, py::arg("signal").noconvert(), py::arg("bank"),
          py::arg("frame_length"), py::arg("hop_length"), py::arg("channel"), py::arg("log"),
          py::arg("floor"), py::arg("threads"),
          "Rows of every whole frame of `signal` (channels x samples, column-major float64),\n"
          "each filter restarted from rest at every frame.");
    m.def("continuous", &continuous, py::arg("signal").noconvert(), py::arg("bank"),
          py::arg("output"), py::arg("frame_length"), py::arg("hop_length"), py::arg("channel"),
          py::arg("log"), py::arg("floor"), py::arg("threads"),
          "Frame rows, envelopes or band signals of filters carried through `signal`\n"
          "(channels x samples float64, any strides).");
    py::class_<Stream>(m, "Stream", "The continuous filterbank fed in chunks.")
        .def(py::init<const Bank&, const std::string&, std::size_t, std::size_t,
                      std::optional<std::int32_t>, bool, double, unsigned>(),
             py::arg("bank"), py::arg("output"), py::arg("frame_length"), py::arg("hop_length"),
             py::arg("channel"), py::arg("log"), py::arg("floor"), py::arg("threads"))
        .def("push", &Stream::push, py::arg("chunk").noconvert(),
             "What the chunk (channels x samples float64) completes.")
        .def_property_readonly("samples_seen", &Stream::samples_seen);
    bind_synthesis(m);
    m.def("erb_rate", py::vectorize([](double hz) { return vorl::extractor::Hz_to_ERB_rate(hz); }),
          py::arg("hz"), "ERB-rate of frequencies in Hz, as the filter design computes it.");
    m.def("erb_rate_to_hz",
          py::vectorize([](double erb) { return vorl::extractor::ERB_rate_to_Hz(erb); }),
          py::arg("erb"), "Frequencies in Hz of ERB-rate values.");
    m.def("erb_space", &vorl::extractor::ERB_space<double>, py::arg("low_Hz"),
          py::arg("high_Hz"), py::arg("num"),
          "`num` frequencies evenly spaced on the ERB-rate scale: a bank's centres.");
    m.def("whole_frames", &whole_frames, py::arg("samples"), py::arg("frame_length"),
          py::arg("hop_length"), "Number of whole frames in a signal of `samples` samples.");
    m.def(
        "simd_kernel",
        [] { return vorl::extractor::detail::best_gammatone_kernel<Filter>().name; },
        "Instruction set of the filter kernel chosen for this CPU.");
}
