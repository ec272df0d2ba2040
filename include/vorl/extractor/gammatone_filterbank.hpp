#pragma once

#include "vorl/kernels/gammatone_kernel.hpp"
#include "vorl/extractor/extractor.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorl {
namespace extractor {

/** ERB-rate (dimensionless, equivalent-rectangular-bandwidth scale) of a frequency in Hz. */
template <typename T>
T Hz_to_ERB_rate(T f_Hz) {
    return T(21.4) * std::log10(f_Hz * T(0.00437) + T(1));
}

/** Frequency in Hz of an ERB-rate value; the inverse of `Hz_to_ERB_rate`. */
template <typename T>
T ERB_rate_to_Hz(T erb_rate) {
    return (std::pow(T(10), erb_rate / T(21.4)) - T(1)) / T(0.00437);
}

/**
 * `count` frequencies in Hz, ascending, evenly spaced on the ERB-rate scale from
 * `low_Hz` to `high_Hz`: the centre frequencies of a filterbank. A single one
 * sits at the ERB-rate midpoint of the range.
 *
 * @throws std::invalid_argument "Invalid frequency range" unless the ERB-rate
 *         of `high_Hz` exceeds that of `low_Hz`
 */
template <typename T>
std::vector<T> ERB_space(T low_Hz, T high_Hz, std::size_t count) {
    const T erb_low = Hz_to_ERB_rate(low_Hz);
    const T erb_high = Hz_to_ERB_rate(high_Hz);
    const T range = erb_high - erb_low;
    const T spacing = count == 1 ? range : range / static_cast<T>(count - 1);
    const T first = count == 1 ? erb_low + range / T(2) : erb_low;
    if (spacing <= T(0)) {
        throw std::invalid_argument("Invalid frequency range");
    }
    std::vector<T> frequencies;
    frequencies.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        frequencies.push_back(ERB_rate_to_Hz(static_cast<T>(i) * spacing + first));
    }
    return frequencies;
}

/**
 * Bank of fourth-order gammatone filters, spaced evenly on the ERB-rate scale.
 *
 * Each feature is, for one filter, the frame average of the filter's
 * gain-scaled envelope after leaky integration with time constant
 * `temporal_integration` seconds. Features come in ascending order of centre
 * frequency.
 */
template <typename T>
class GammatoneFilterbank : public Extractor<T> {
public:
    using typename Extractor<T>::Frame;
    using typename Extractor<T>::Features;
    using typename Extractor<T>::Transform;

    /** One designed filter; a plain value. */
    struct Filter {
        T cf;                ///< centre frequency, Hz
        std::array<T, 5> a;  ///< feedback a[0..3] of the all-pole stage; a[4] second feed-forward tap
        T gain;              ///< factor applied to the envelope
        T coscf;             ///< cos of the centre frequency, in radians per sample
        T sincf;             ///< sin of the centre frequency, in radians per sample

        /** Copies each value into the field of its name; checks nothing. */
        Filter(T cf, T coscf, T sincf, T gain, const std::array<T, 5>& a)
            : cf(cf), a(a), gain(gain), coscf(coscf), sincf(sincf) {}

        /**
         * Runs this filter over `input` from rest and stores in `value` the frame
         * average of its integrated envelope: (1 - decay) * sum / n.
         * An empty frame gives 0/0, NaN.
         */
        void process(const Frame& input, T& value, const T& decay) const {
            const detail::GammatoneCoefficients<T> c{a[0], a[1], a[2], a[3], a[4],
                                                     gain, coscf, sincf};
            detail::GammatoneState<T> state;
            detail::start_at_rest(state, T(0));
            T sum = 0;
            for (const T sample : input) {
                detail::gammatone_step<detail::ScalarMath<T>>(state, c, decay, sample);
                sum += state.total;
            }
            value = detail::frame_average(sum, decay, input.size());
        }
    };

    /**
     * Designs the filter centred at `cf_Hz`.
     *
     * @param bandwidth_factor widening of the filter's equivalent rectangular bandwidth
     */
    static Filter design_filter(T cf_Hz, std::int32_t sample_rate, T bandwidth_factor) {
        const T w = T(6.283185307179586) / static_cast<T>(sample_rate);  // radians per sample per Hz
        // Equivalent rectangular bandwidth, in radians per sample, widened.
        const T b = (cf_Hz * T(0.00437) + T(1)) * T(24.7) * w * bandwidth_factor;
        const T r = std::exp(-b);  // radius of the fourfold pole
        // Feedback of (1 - r z^-1)^4, and r^2 for the feed-forward stage.
        const std::array<T, 5> a{r * T(4), r * T(-6) * r, r * T(4) * r * r, -r * r * r * r,
                                 r * r};
        return Filter(cf_Hz, std::cos(cf_Hz * w), std::sin(cf_Hz * w), b * b * b * b / T(3), a);
    }

    /**
     * Designs `count` filters with centre frequencies evenly spaced on the
     * ERB-rate scale from `low_Hz` to `high_Hz`, in ascending order.
     *
     * A single filter is centred at the ERB-rate midpoint of the range.
     *
     * @param bandwidth_factor widening of each filter's equivalent rectangular bandwidth
     * @throws std::invalid_argument "Invalid frequency range" unless the ERB-rate
     *         of `high_Hz` exceeds that of `low_Hz`
     */
    static std::vector<Filter> make_filters(T low_Hz, T high_Hz, std::size_t count,
                                            std::int32_t sample_rate, T bandwidth_factor) {
        std::vector<Filter> filters;
        if (count != 0) {
            filters.reserve(count);
        }
        for (const T cf : ERB_space(low_Hz, high_Hz, count)) {
            filters.push_back(design_filter(cf, sample_rate, bandwidth_factor));
        }
        return filters;
    }

    /** Per-sample factor of a leaky integration with time constant `seconds` (0: none). */
    static T decay_of(std::int32_t sample_rate, T seconds) {
        return std::exp(T(-1) / (static_cast<T>(sample_rate) * seconds));
    }

    /**
     * @param low_Hz, high_Hz      centre frequencies of the first and last filter
     * @param temporal_integration time constant of the envelope integration, seconds
     *                             (0 turns the integration off)
     * @throws std::invalid_argument "Invalid frequency range", see `make_filters`
     */
    GammatoneFilterbank(std::size_t num_samples, std::size_t num_features, std::int32_t sample_rate,
                        const Transform& transform, std::int32_t on_channel, T low_Hz, T high_Hz,
                        T temporal_integration)
        : Extractor<T>(num_samples, num_features, sample_rate, transform, on_channel),
          decay(decay_of(sample_rate, temporal_integration)),
          filters(make_filters(low_Hz, high_Hz, num_features, sample_rate, T(1.019))),
          rotations_(rotation_table(this->filters, num_samples)) {}

    /**
     * A filterbank of given filters, for instance designed with `design_filter`
     * at chosen centre frequencies; one feature per filter, in their order.
     *
     * @param decay per-sample integration factor, see `decay_of`
     * @param look_up_rotations whether to make the rotation table that speeds up
     *        every frame (worth it from a dozen frames or so; the results are the same)
     */
    GammatoneFilterbank(std::size_t num_samples, std::int32_t sample_rate,
                        const Transform& transform, std::int32_t on_channel,
                        std::vector<Filter> filters, T decay, bool look_up_rotations = true)
        : Extractor<T>(num_samples, filters.size(), sample_rate, transform, on_channel),
          decay(decay),
          filters(std::move(filters)),
          rotations_(rotation_table(this->filters, look_up_rotations ? num_samples : 0)) {}

    /** The same filterbank on channel `on_channel`; the two share their rotation table. */
    GammatoneFilterbank(const GammatoneFilterbank& other, std::int32_t on_channel)
        : Extractor<T>(other.num_samples, other.num_features, other.sample_rate, other.transform,
                       on_channel),
          decay(other.decay),
          filters(other.filters),
          rotations_(other.rotations_) {}

    ~GammatoneFilterbank() override = default;

    /**
     * Writes, for every filter in order, its frame average into `output`.
     *
     * @throws std::invalid_argument if `output` holds fewer than `num_features` values
     */
    void compute(const Frame& input, Features& output) const override {
        if (output.size() < this->num_features) {
            throw std::invalid_argument(
                fmt::format("Output vector must hold at least {} values. Instead it holds {}.",
                            this->num_features, output.size()));
        }
        compute_frames(input.data(), 0, 1, input.size(), output.data(), 0);
    }

    /**
     * Writes, for `frames` frames of `length` samples of one channel, frame i
     * at `samples + i * hop`, every filter's frame average into
     * `rows + i * row_stride` (`num_features` values, in filter order): what
     * `compute` writes for each frame, bit for bit. Frames of several filters
     * per vector instruction, and of pairs of frames where that is quicker.
     */
    void compute_frames(const T* samples, std::size_t hop, std::size_t frames, std::size_t length,
                        T* rows, std::size_t row_stride) const {
        if constexpr (std::is_same<T, double>::value) {
            // Each lane is bitwise `Filter::process`.
            detail::best_gammatone_kernel<Filter>().run(filters.data(), this->num_features, decay,
                                                        samples, hop, frames, length, rows,
                                                        row_stride, rotations_.get());
        } else {
            for (std::size_t f = 0; f < frames; ++f) {
                const Frame frame(samples + f * hop, samples + f * hop + length);
                for (std::size_t i = 0; i < this->num_features; ++i) {
                    filters[i].process(frame, rows[f * row_stride + i], decay);
                }
            }
        }
    }

    /** Per-sample factor of the envelope integration: exp(-1 / (sample_rate * temporal_integration)). */
    const T decay;
    /** `num_features` filters in ascending order of centre frequency. */
    const std::vector<Filter> filters;

private:
    /**
     * The rotations of frames of `num_samples` (the first ones, if the table
     * would be large); none for 0 or no filters.
     */
    static std::shared_ptr<const detail::RotationTable> rotation_table(
        const std::vector<Filter>& filters, std::size_t num_samples) {
        if constexpr (std::is_same<T, double>::value) {
            const std::size_t length = detail::rotation_table_length(filters.size(), num_samples);
            if (length == 0) return nullptr;
            return std::make_shared<const detail::RotationTable>(
                detail::make_rotation_table(filters.data(), filters.size(), length));
        } else {
            return nullptr;
        }
    }

    /** Looked up by the lane kernels instead of rotating in every frame; or null. */
    const std::shared_ptr<const detail::RotationTable> rotations_;
};

}  // namespace extractor
}  // namespace vorl
