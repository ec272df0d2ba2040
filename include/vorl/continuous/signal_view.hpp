#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorl {

/**
 * How the channels of a signal become the planes that are analysed: one
 * channel, the per-sample mean of all channels (a negative channel), or every
 * channel separately (none), which adds a leading axis to every result.
 */
struct Planes {
    std::optional<std::int32_t> channel;
    std::size_t channels;

    /** @throws std::invalid_argument for no channels, or a channel the signal lacks */
    Planes(std::optional<std::int32_t> channel, std::size_t channels)
        : channel(channel), channels(channels) {
        if (channels == 0) throw std::invalid_argument("the signal has no channels");
        if (channel && *channel >= 0 && static_cast<std::size_t>(*channel) >= channels) {
            throw std::invalid_argument("Cannot select channel " + std::to_string(*channel) +
                                        ": the input has " + std::to_string(channels) +
                                        " channel(s).");
        }
    }
    /** Number of planes. */
    std::size_t count() const { return channel ? 1 : channels; }
    /** The framed extractor's `on_channel` for plane p. */
    std::int32_t on_channel(std::size_t p) const {
        return channel ? *channel : static_cast<std::int32_t>(p);
    }
    /** A result's shape: (rows, width), after a plane axis when every channel is analysed. */
    std::vector<std::size_t> shape(std::size_t rows, std::size_t width) const {
        if (channel) return {rows, width};
        return {channels, rows, width};
    }
    /** @throws std::invalid_argument unless a chunk of `n` channels can follow */
    void check_channels(std::size_t n) const {
        if (n != channels) {
            throw std::invalid_argument("chunk has " + std::to_string(n) +
                                        " channel(s), but the stream's first chunk had " +
                                        std::to_string(channels));
        }
    }
};

/** A (channels, samples) signal of doubles at any strides, read sample by sample. */
struct SignalView {
    const char* data;
    std::ptrdiff_t channel_stride, sample_stride;  ///< in bytes
    std::size_t channels, samples;

    /** Channels one after the other, `samples` doubles each. */
    static SignalView planar(const double* data, std::size_t channels, std::size_t samples) {
        return {reinterpret_cast<const char*>(data),
                static_cast<std::ptrdiff_t>(samples * sizeof(double)),
                static_cast<std::ptrdiff_t>(sizeof(double)), channels, samples};
    }

    double at(std::size_t c, std::size_t t) const {
        double v;  // the data may be unaligned
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(c) * channel_stride +
                        static_cast<std::ptrdiff_t>(t) * sample_stride,
                    sizeof v);
        return v;
    }

    /** Samples [t0, t0 + n) of the signal: a view of them. */
    SignalView samples_from(std::size_t t0, std::size_t n) const {
        return {data + static_cast<std::ptrdiff_t>(t0) * sample_stride, channel_stride,
                sample_stride, channels, n};
    }

    /**
     * Samples t0 .. t0+n-1 of plane p into `out`: a channel, or the mean of all,
     * summed from the first channel to the last and divided by their count, as
     * the framed extractor averages a frame.
     */
    void read(const Planes& planes, std::size_t p, std::size_t t0, std::size_t n,
              double* out) const {
        if (n == 0) return;
        const std::int32_t channel = planes.on_channel(p);
        if (channel >= 0 || channels == 1) {  // the mean of one channel is the channel (x / 1 = x)
            const std::size_t c = channel >= 0 ? static_cast<std::size_t>(channel) : 0;
            if (sample_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
                std::memcpy(out, data + static_cast<std::ptrdiff_t>(c) * channel_stride +
                                     static_cast<std::ptrdiff_t>(t0 * sizeof(double)),
                            n * sizeof(double));
                return;
            }
            for (std::size_t t = 0; t < n; ++t) out[t] = at(c, t0 + t);
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

}  // namespace vorl
