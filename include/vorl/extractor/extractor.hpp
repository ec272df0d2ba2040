#pragma once

#include <Eigen/Core>
#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

namespace vorl {
namespace extractor {

/**
 * Abstract base of every feature extractor.
 *
 * An extractor turns one frame of `num_samples` samples into `num_features`
 * values. The base owns the frame geometry and the per-feature transform; it
 * checks the frame length, reduces a multi-channel frame to one channel, lets
 * the derived class fill the feature vector in `compute`, and finally applies
 * `transform` to every feature. Everything is fixed at construction: calls
 * only read the object.
 *
 * @tparam T sample and feature type (the library instantiates `double`).
 */
template <typename T>
class Extractor {
public:
    /** One channel of samples. */
    using Frame = std::vector<T>;
    /** The feature values of one frame. */
    using Features = std::vector<T>;
    /** Column-major view of a multi-channel frame: one row per channel, one column per sample. */
    using Matrix = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;
    using MatrixView = Eigen::Ref<const Matrix, 0, Eigen::OuterStride<>>;
    /** Function applied to each feature after `compute`. */
    using Transform = std::function<T(T)>;
    /** Reduces a multi-channel frame to a single channel. */
    using ChannelSelector = std::function<Frame(MatrixView)>;

    /**
     * Stores the geometry and a copy of `transform`; validates nothing.
     *
     * @param num_samples  exact frame length, in samples
     * @param num_features length of the feature vector
     * @param sample_rate  samples per second (kept for derived classes)
     * @param transform    applied to each feature; may be empty
     * @param on_channel   row of a matrix frame to analyse; negative averages all rows
     */
    Extractor(std::size_t num_samples, std::size_t num_features, std::int32_t sample_rate,
              const Transform& transform, std::int32_t on_channel)
        : num_samples(num_samples),
          num_features(num_features),
          sample_rate(sample_rate),
          on_channel(on_channel),
          transform(transform),
          channel_selector(on_channel < 0 ? ChannelSelector(average_channels)
                                          : ChannelSelector(SingleChannel{on_channel})) {}

    virtual ~Extractor() = default;

    /**
     * Checks the frame length, then returns the features that `compute` writes
     * into a fresh vector of `num_features` zeros. No transform is applied.
     *
     * @throws std::invalid_argument if `input` does not hold `num_samples` samples
     */
    virtual Features extract(const Frame& input) const {
        if (input.size() != num_samples) {
            throw std::invalid_argument(
                fmt::format("Input signal must be of length {}. Instead it is of length {}.",
                            num_samples, input.size()));
        }
        Features output(num_features, T(0));
        compute(input, output);
        return output;
    }

    /**
     * Writes the features of `input` into `output`, in place.
     *
     * Reached through `extract` the frame holds exactly `num_samples` samples and
     * `output` exactly `num_features` zeros; reached through the two-argument call
     * operator, the caller vouches for both.
     */
    virtual void compute(const Frame& input, Features& output) const = 0;

    /** Transformed features of a multi-channel frame, after channel selection. */
    virtual Features operator()(MatrixView input) const {
        return (*this)(channel_selector(input));
    }

    /** Transformed features of a single-channel frame. */
    virtual Features operator()(const Frame& input) const {
        Features output = extract(input);
        apply_transform(output);
        return output;
    }

    /**
     * Computes into the caller's `output` and transforms it in place, without
     * checking the frame length or the size of `output`.
     */
    virtual void operator()(const Frame& input, Features& output) const {
        compute(input, output);
        apply_transform(output);
    }

    const std::size_t num_samples;
    const std::size_t num_features;
    const std::int32_t sample_rate;
    const std::int32_t on_channel;
    const Transform transform;
    const ChannelSelector channel_selector;

private:
    /**
     * One sample of a matrix frame. The caller's array may sit at any byte
     * offset (a NumPy view into a byte buffer, say), so it is read bytewise;
     * this compiles to a plain load.
     */
    static T sample_at(const T* p) {
        T value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }

    /** Copies row `channel` of the frame; rejects a row the frame does not have. */
    struct SingleChannel {
        std::int32_t channel;

        Frame operator()(MatrixView input) const {
            const auto rows = static_cast<std::size_t>(input.rows());
            if (static_cast<std::size_t>(channel) >= rows) {
                throw std::invalid_argument(
                    fmt::format("Cannot select channel {}: the input has {} channel(s).",
                                channel, rows));
            }
            Frame frame(static_cast<std::size_t>(input.cols()));
            for (Eigen::Index j = 0; j < input.cols(); ++j) {
                frame[static_cast<std::size_t>(j)] =
                    sample_at(input.data() + channel + j * input.outerStride());
            }
            return frame;
        }
    };

    /**
     * Per-sample mean over all rows. Each column is summed from the first row to
     * the last, then divided by the number of rows; with no rows that is 0/0 (NaN).
     */
    static Frame average_channels(MatrixView input) {
        const Eigen::Index rows = input.rows();
        const T count = static_cast<T>(rows);
        Frame frame(static_cast<std::size_t>(input.cols()));
        for (Eigen::Index j = 0; j < input.cols(); ++j) {
            T sum = T(0);
            if (rows > 0) {
                const T* column = input.data() + j * input.outerStride();
                sum = sample_at(column);
                for (Eigen::Index i = 1; i < rows; ++i) {
                    sum += sample_at(column + i);
                }
            }
            frame[static_cast<std::size_t>(j)] = sum / count;
        }
        return frame;
    }

    /** Replaces each feature, in index order, by the transform of it. */
    void apply_transform(Features& features) const {
        const Transform f = transform;  // the stored function is never touched by a call
        for (T& value : features) {
            value = f(value);
        }
    }
};

}  // namespace extractor
}  // namespace vorl
