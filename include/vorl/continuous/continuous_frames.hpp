#pragma once

#include "vorl/continuous/continuous_filterbank.hpp"
#include "vorl/kernels/gammatone_kernel.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorl {

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
 * The signal arrives in pieces of any length. The kernel adds each envelope
 * to the sums of the frames open at that sample (at most
 * ceil(frame_length / hop) of them), so memory stays bounded however long the
 * signal runs; it runs through the spans between the starts and ends of frames
 * of up to 32 hops in one call.
 */
class ContinuousFrames {
public:
    using Filter = ContinuousFilterbank::Filter;
    using Transform = std::function<double(double)>;

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
          // The frames open when a piece starts, and those it opens (the last at
          // its end, the next piece's first).
          slots_(hop_length == 0 ? 0
                                 : (frame_length + hop_length - 1) / hop_length + 1 +
                                       opened_per_call + 1),
          sums_(slots_ * detail::frame_sums_size(width_)) {
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
        for (;;) {
            // A piece that opens at most `opened_per_call` frames goes through the
            // filters in one call, span by span between the starts and ends of
            // frames; then the rows of the frames it completed are made.
            const std::size_t piece = std::min(n, opened_per_call * hop_length_);
            const std::size_t stop = seen_ + piece;
            spans_.clear();
            pointers_.clear();
            std::size_t t = seen_, closing = oldest_;  // frames [closing, next_) are open at t
            for (;;) {
                while (closing < next_ && closing * hop_length_ + frame_length_ <= t) ++closing;
                while (next_ * hop_length_ == t) {  // a frame starts here
                    std::fill_n(slot(next_), detail::frame_sums_size(width_), 0.0);
                    ++next_;
                }
                if (t == stop) break;
                // Up to the next start or end of a frame.
                std::size_t end = std::min(stop, next_ * hop_length_);
                if (closing < next_) end = std::min(end, closing * hop_length_ + frame_length_);
                spans_.push_back({end - seen_, nullptr, next_ - closing});
                for (std::size_t j = closing; j < next_; ++j) pointers_.push_back(slot(j));
                t = end;
            }
            // The pointers are in place now that the vector no longer grows.
            for (std::size_t s = 0, first = 0; s < spans_.size(); first += spans_[s++].num_sums) {
                spans_[s].sums = pointers_.data() + first;
            }
            if (piece > 0) bank_.accumulate(x, piece, spans_.data(), spans_.size());
            seen_ = stop;
            x += piece;
            n -= piece;
            for (; oldest_ < next_ && oldest_ * hop_length_ + frame_length_ <= seen_; ++oldest_) {
                double* row = slot(oldest_);
                for (std::size_t k = 0; k < width_; ++k) {
                    row[k] = transform_(detail::frame_average(row[k], bank_.decay(), frame_length_));
                }
                emit(static_cast<const double*>(row));
            }
            if (n == 0) return;
        }
    }

    /** Number of filters, the length of a row. */
    std::size_t width() const { return width_; }

private:
    double* slot(std::size_t frame) {
        return sums_.data() + frame % slots_ * detail::frame_sums_size(width_);
    }

    /** Frames a piece of a push opens, at most: a call of the filters per piece. */
    static constexpr std::size_t opened_per_call = 32;

    ContinuousFilterbank bank_;
    std::size_t frame_length_, hop_length_;
    Transform transform_;
    std::size_t width_;
    std::size_t slots_;
    std::vector<double> sums_;  ///< one array of sums per frame open or unfinished, in turn
    std::vector<detail::SumSpan> spans_;  ///< scratch: the spans of a piece
    std::vector<double*> pointers_;       ///< scratch: their frames' sums, span after span
    std::size_t seen_ = 0;      ///< samples pushed
    std::size_t next_ = 0;      ///< the next frame to open
    std::size_t oldest_ = 0;    ///< the oldest open frame
};

}  // namespace vorl
