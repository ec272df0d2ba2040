#pragma once

#include "vorl/extractor/continuous_filterbank.hpp"
#include "vorl/extractor/detail/gammatone_recursion.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorl {
namespace extractor {

/**
 * Frame rows of gammatone filters that run continuously through a signal.
 *
 * Frame j covers samples j*hop ... j*hop + frame_length - 1. Its row holds,
 * per filter, (1 - decay) * S / frame_length, where S is the sum, in sample
 * order, of the filter's integrated envelope after each of those samples,
 * then passed through `transform`. This is the framed extractor's formula with
 * the filter state carried from the signal's first sample instead of
 * restarted, so row 0 equals the extractor's features of frame 0 bit for bit.
 *
 * The signal arrives in pieces of any length. The envelopes of the last
 * `frame_length` samples are kept in a ring, so memory stays bounded however
 * long the signal runs.
 */
class ContinuousFrames {
public:
    using Filter = ContinuousFilterbank::Filter;
    using Transform = double (*)(double);

    /**
     * @param transform applied to every value of a row (log10, say)
     * @throws std::invalid_argument if `frame_length` or `hop_length` is 0
     */
    ContinuousFrames(std::vector<Filter> filters, double decay, std::size_t frame_length,
                     std::size_t hop_length, Transform transform)
        : bank_(std::move(filters), decay),
          frame_length_(frame_length),
          hop_length_(hop_length),
          transform_(transform),
          width_(bank_.filters().size()),
          ring_(frame_length * bank_.filters().size()),
          row_(bank_.filters().size()),
          next_end_(frame_length) {
        if (frame_length == 0 || hop_length == 0) {
            throw std::invalid_argument("frame_length and hop_length must be positive");
        }
    }

    /**
     * Runs the filters through samples `x[0..n)` and calls `emit(row)` with
     * the row of every frame that they complete, in frame order; `row` points
     * to one value per filter and is valid during the call only.
     */
    template <typename Emit>
    void push(const double* x, std::size_t n, Emit&& emit) {
        while (n > 0) {
            // Up to the ring's end, and no further than the end of the next frame.
            const std::size_t at = seen_ % frame_length_;
            std::size_t block = std::min(n, frame_length_ - at);
            block = std::min(block, next_end_ - seen_);
            bank_.process(x, block, ring_.data() + at * width_, width_);
            seen_ += block;
            x += block;
            n -= block;
            if (seen_ == next_end_) {
                emit(static_cast<const double*>(finish_frame()));
                next_end_ += hop_length_;
            }
        }
    }

    /** Number of samples pushed so far. */
    std::size_t samples_seen() const { return seen_; }
    /** Number of filters, the length of a row. */
    std::size_t width() const { return width_; }

private:
    /** The row of the frame that ends at `seen_`, whose envelopes fill the ring. */
    const double* finish_frame() {
        std::fill(row_.begin(), row_.end(), 0.0);
        for (std::size_t t = seen_ - frame_length_; t < seen_; ++t) {
            const double* totals = ring_.data() + (t % frame_length_) * width_;
            for (std::size_t k = 0; k < width_; ++k) row_[k] += totals[k];  // sample order per filter
        }
        for (double& value : row_) {
            value = transform_(detail::frame_average(value, bank_.decay(), frame_length_));
        }
        return row_.data();
    }

    ContinuousFilterbank bank_;
    std::size_t frame_length_, hop_length_;
    Transform transform_;
    std::size_t width_;
    std::vector<double> ring_;  ///< envelopes of the last frame_length samples, one row per sample
    std::vector<double> row_;
    std::size_t seen_ = 0;
    std::size_t next_end_;  ///< sample count at which the next frame is complete
};

}  // namespace extractor
}  // namespace vorl
