#pragma once

// What the native modules share about their input: the filters of a
// configuration, a signal's channels as the planes that are analysed, and
// the checks of a stream's next chunk.

#include <vorl/extractor/gammatone_filterbank.hpp>

#include <fmt/format.h>
#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vorl_python {

namespace py = pybind11;

/** The filters and the integration factor of one configuration. */
struct Bank {
    std::int32_t sample_rate;
    std::vector<vorl::extractor::GammatoneFilterbank<double>::Filter> filters;
    double decay;
};

/** How the channels of a signal become the planes that are analysed. */
struct Planes {
    std::optional<std::int32_t> channel;  ///< None: each channel; negative: their mean
    std::size_t channels;

    Planes(std::optional<std::int32_t> channel, std::size_t channels)
        : channel(channel), channels(channels) {
        if (channels == 0) throw std::invalid_argument("the signal has no channels");
        if (channel && *channel >= 0 && static_cast<std::size_t>(*channel) >= channels) {
            throw std::invalid_argument(fmt::format(
                "Cannot select channel {}: the input has {} channel(s).", *channel, channels));
        }
    }
    std::size_t count() const { return channel ? 1 : channels; }
    /** The extractor's `on_channel` for plane p. */
    std::int32_t on_channel(std::size_t p) const {
        return channel ? *channel : static_cast<std::int32_t>(p);
    }
    /** Result shape: the per-plane shape, after a channel axis when every channel is analysed. */
    std::vector<py::ssize_t> shape(std::size_t rows, std::size_t width) const {
        std::vector<py::ssize_t> dims{static_cast<py::ssize_t>(rows),
                                      static_cast<py::ssize_t>(width)};
        if (!channel) dims.insert(dims.begin(), static_cast<py::ssize_t>(channels));
        return dims;
    }
};

/** A (channels, samples) float64 array of any strides, read sample by sample. */
struct Signal {
    const char* data;
    py::ssize_t channel_stride, sample_stride;  // bytes
    std::size_t channels, samples;

    explicit Signal(const py::array_t<double>& a) {
        if (a.ndim() != 2) throw std::invalid_argument("signal must be (channels, samples)");
        data = reinterpret_cast<const char*>(a.data());
        channel_stride = a.strides(0);
        sample_stride = a.strides(1);
        channels = static_cast<std::size_t>(a.shape(0));
        samples = static_cast<std::size_t>(a.shape(1));
    }
    double at(std::size_t c, std::size_t t) const {
        double v;  // the array may be unaligned
        std::memcpy(&v, data + static_cast<py::ssize_t>(c) * channel_stride +
                            static_cast<py::ssize_t>(t) * sample_stride,
                    sizeof v);
        return v;
    }
    /**
     * Samples t0 .. t0+n-1 of plane p into `out`: a channel, or the mean of all,
     * summed from the first channel to the last and divided by their count, as
     * the extractor averages a frame.
     */
    void read(const Planes& planes, std::size_t p, std::size_t t0, std::size_t n,
              double* out) const {
        const std::int32_t channel = planes.on_channel(p);
        if (channel >= 0) {
            for (std::size_t t = 0; t < n; ++t) out[t] = at(static_cast<std::size_t>(channel), t0 + t);
            return;
        }
        const double count = static_cast<double>(channels);
        for (std::size_t t = 0; t < n; ++t) {
            double sum = at(0, t0 + t);
            for (std::size_t c = 1; c < channels; ++c) sum += at(c, t0 + t);
            out[t] = sum / count;
        }
    }
};

/**
 * Where a stream stands between pushes, read and set with the interpreter lock
 * held: one push at a time, and none after a push that failed part-way (its
 * planes or filters ran to different samples).
 */
enum class PushState { ready, pushing, broken };

/** Throws unless a stream in state `state` can take a push. */
inline void check_ready(PushState state) {
    if (state != PushState::ready) {
        throw std::runtime_error(state == PushState::pushing
                                     ? "push() called while another push() of this stream runs"
                                     : "the stream was interrupted: make a new one");
    }
}

/** Throws unless a chunk of `channels` channels has the stream's first chunk's count. */
inline void check_channels(const Planes& planes, std::size_t channels) {
    if (channels != planes.channels) {
        throw std::invalid_argument(
            fmt::format("chunk has {} channel(s), but the stream's first chunk had {}", channels,
                        planes.channels));
    }
}

}  // namespace vorl_python
