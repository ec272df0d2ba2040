// vorl._engine: the core's roads for the package, computed with the interpreter
// lock released and stopped by Ctrl-C. Converts arguments and results only.
#include "arrays.hpp"
#include "interpreter.hpp"

#include <vorl/continuous/continuous_stream.hpp>
#include <vorl/framed/framed_analysis.hpp>
#include <vorl/framed/framed_stream.hpp>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using vorl_python::CheckSignals;
using vorl_python::NewArray;
using vorl_python::Unlocked;

namespace {

vorl::Bank make_bank(std::int32_t sample_rate,
                     const std::optional<std::vector<double>>& center_frequencies,
                     std::size_t num_bands, double low_Hz, double high_Hz,
                     double bandwidth_factor, double temporal_integration) {
    if (center_frequencies) {
        return vorl::Bank::at(sample_rate, *center_frequencies, bandwidth_factor,
                              temporal_integration);
    }
    return vorl::Bank::on_erb_scale(sample_rate, num_bands, low_Hz, high_Hz, bandwidth_factor,
                                    temporal_integration);
}

/** Runs `push(allocate, poll)` with the lock released and returns the array it allocated. */
template <typename Push>
py::object unlocked(const Push& push) {
    py::object result;
    {
        Unlocked unlocked;
        push(NewArray{unlocked, result}, CheckSignals{unlocked});
    }
    return result;
}

vorl::ContinuousStream make_stream(const vorl::Bank& bank, const std::string& output,
                                   std::size_t frame_length, std::size_t hop_length,
                                   std::optional<std::int32_t> channel, bool log, double floor,
                                   std::size_t threads) {
    return {bank, vorl::ContinuousStream::what_of(output), frame_length, hop_length, channel,
            vorl::Level{log, floor}, threads};
}

py::object push_continuous(vorl::ContinuousStream& stream, const py::array_t<double>& chunk) {
    const vorl::SignalView signal = vorl_python::signal_of(chunk);
    return unlocked([&](auto allocate, auto poll) { stream.push(signal, allocate, poll); });
}

vorl::FramedAnalysis make_framed(const vorl::Bank& bank, std::size_t frame_length,
                                 std::size_t hop_length, std::optional<std::int32_t> channel,
                                 bool log, double floor, std::size_t threads) {
    return {bank, frame_length, hop_length, channel, vorl::Level{log, floor}, threads};
}

}  // namespace

void bind_synthesis(py::module_& m);  // synthesis.cpp

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Gammatone features of whole signals and streams, computed natively.";
    using Signal = vorl::FramedAnalysis::Signal;

    py::class_<vorl::Bank>(m, "Bank", "The filters and the integration factor of one configuration.")
        .def(py::init(&make_bank), py::arg("sample_rate"), py::arg("center_frequencies"),
             py::arg("num_bands"), py::arg("low_Hz"), py::arg("high_Hz"),
             py::arg("bandwidth_factor"), py::arg("temporal_integration"))
        .def_property_readonly("center_frequencies", &vorl::Bank::center_frequencies,
                               "Centre frequency of each filter, Hz.")
        .def_readonly("decay", &vorl::Bank::decay, "Per-sample integration factor.");

    m.def(
        "framed",
        [](Signal signal, const vorl::Bank& bank, std::size_t frame_length,
           std::size_t hop_length, std::optional<std::int32_t> channel, bool log, double floor,
           std::size_t threads) {
            const vorl::FramedAnalysis analysis =
                make_framed(bank, frame_length, hop_length, channel, log, floor, threads);
            return unlocked([&](auto allocate, auto poll) { analysis.run(signal, allocate, poll); });
        },
        py::arg("signal").noconvert(), py::arg("bank"), py::arg("frame_length"),
        py::arg("hop_length"), py::arg("channel"), py::arg("log"), py::arg("floor"),
        py::arg("threads"),
        "Rows of every whole frame of `signal` (channels x samples, column-major float64),\n"
        "each filter restarted from rest at every frame.");
    m.def(
        "continuous",
        [](const py::array_t<double>& signal, const vorl::Bank& bank, const std::string& output,
           std::size_t frame_length, std::size_t hop_length, std::optional<std::int32_t> channel,
           bool log, double floor, std::size_t threads) {
            vorl::ContinuousStream stream =
                make_stream(bank, output, frame_length, hop_length, channel, log, floor, threads);
            return push_continuous(stream, signal);
        },
        py::arg("signal").noconvert(), py::arg("bank"), py::arg("output"),
        py::arg("frame_length"), py::arg("hop_length"), py::arg("channel"), py::arg("log"),
        py::arg("floor"), py::arg("threads"),
        "Frame rows, envelopes or band signals of filters carried through `signal`\n"
        "(channels x samples float64, any strides).");

    py::class_<vorl::ContinuousStream>(m, "Stream", "The continuous filterbank fed in chunks.")
        .def(py::init(&make_stream), py::arg("bank"), py::arg("output"),
             py::arg("frame_length"), py::arg("hop_length"), py::arg("channel"), py::arg("log"),
             py::arg("floor"), py::arg("threads"))
        .def("push", &push_continuous, py::arg("chunk").noconvert(),
             "What the chunk (channels x samples float64) completes.")
        .def_property_readonly("samples_seen", &vorl::ContinuousStream::samples_seen)
        .def_property_readonly("channels", &vorl::ContinuousStream::channels,
                               "The first chunk's channel count, or None before it.");

    py::class_<vorl::FramedStream>(m, "FramedStream", "The framed analysis fed in chunks.")
        .def(py::init([](const vorl::Bank& bank, std::size_t frame_length,
                         std::size_t hop_length, std::optional<std::int32_t> channel, bool log,
                         double floor, std::size_t threads) {
                 return vorl::FramedStream(
                     make_framed(bank, frame_length, hop_length, channel, log, floor, threads));
             }),
             py::arg("bank"), py::arg("frame_length"), py::arg("hop_length"), py::arg("channel"),
             py::arg("log"), py::arg("floor"), py::arg("threads"))
        .def(
            "push",
            [](vorl::FramedStream& stream, Signal chunk) {
                return unlocked([&](auto allocate, auto poll) { stream.push(chunk, allocate, poll); });
            },
            py::arg("chunk").noconvert(),
            "Rows of the frames the chunk (channels x samples, column-major float64) completes.")
        .def_property_readonly("samples_seen", &vorl::FramedStream::samples_seen)
        .def_property_readonly("channels", &vorl::FramedStream::channels,
                               "The first chunk's channel count, or None before it.");

    bind_synthesis(m);
    m.def("erb_rate", py::vectorize([](double hz) { return vorl::extractor::Hz_to_ERB_rate(hz); }),
          py::arg("hz"), "ERB-rate of frequencies in Hz, as the filter design computes it.");
    m.def("erb_rate_to_hz",
          py::vectorize([](double erb) { return vorl::extractor::ERB_rate_to_Hz(erb); }),
          py::arg("erb"), "Frequencies in Hz of ERB-rate values.");
    m.def("erb_space", &vorl::extractor::ERB_space<double>, py::arg("low_Hz"),
          py::arg("high_Hz"), py::arg("num"),
          "`num` frequencies evenly spaced on the ERB-rate scale: a bank's centres.");
    m.def("whole_frames", &vorl::whole_frames, py::arg("samples"), py::arg("frame_length"),
          py::arg("hop_length"), "Number of whole frames in a signal of `samples` samples.");
    m.def(
        "simd_kernel",
        [] { return vorl::simd::isas[vorl::simd::chosen_isa()].name; },
        "Instruction set of the kernels chosen for this process.");
}
