#pragma once

#include "vorl/framed/framed_analysis.hpp"
#include "vorl/streams/push_guard.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

namespace vorl {

/**
 * A `FramedAnalysis` fed in chunks of any length: each `push` gives the rows
 * of the frames its chunk completes, and the rows of all pushes equal one
 * analysis of the concatenated chunks, bit for bit.
 *
 * Keeps the samples of the next frame that have arrived (never more than a
 * frame), so a push costs its chunk and the frames it completes. Follows the
 * streams' protocol (`PushGuard`): a push that fails or is stopped leaves the
 * stream as it was.
 */
class FramedStream {
public:
    using Signal = FramedAnalysis::Signal;

    explicit FramedStream(FramedAnalysis analysis) : analysis_(std::move(analysis)) {}

    /**
     * The rows of the frames `chunk` (channels x samples) completes, into the
     * values `allocate(shape)` returns (see `FramedAnalysis::run`).
     *
     * @throws std::invalid_argument if the chunk's channel count differs from
     *         the first chunk's, or lacks the analysed channel
     * @throws std::runtime_error if another push runs
     */
    template <typename Allocate, typename Poll = NoPoll>
    void push(Signal chunk, Allocate&& allocate, Poll&& poll = {}) {
        struct Next {
            Eigen::Index held, skip;
        };
        const auto compute = [&]() -> Next {
            const std::size_t channels = static_cast<std::size_t>(chunk.rows());
            const Planes planes(analysis_.channel(), channels);
            if (channels_) planes.check_channels(*channels_);
            const Eigen::Index frame = static_cast<Eigen::Index>(analysis_.frame_length());
            const Eigen::Index hop = static_cast<Eigen::Index>(analysis_.hop_length());
            // Sized by the first chunk (its channel count is checked from then on):
            // what the buffer holds past `held_` is not part of the state.
            if (buffer_.rows() != chunk.rows()) buffer_.resize(chunk.rows(), frame);
            const Eigen::Index skipped = std::min(skip_, Eigen::Index(chunk.cols()));
            const auto data = chunk.rightCols(chunk.cols() - skipped);
            if (held_ + data.cols() < frame) {
                allocate(planes.shape(0, analysis_.bank().filters.size()));
                // Past the held samples: nothing reads these until the commit says so.
                buffer_.middleCols(held_, data.cols()) = data;
                return {held_ + data.cols(), skip_ - skipped};
            }
            Matrix joined(chunk.rows(), held_ + data.cols());
            joined << buffer_.leftCols(held_), data;
            analysis_.run(Signal(joined), allocate, poll);
            const Eigen::Index start =
                static_cast<Eigen::Index>(whole_frames(static_cast<std::size_t>(joined.cols()),
                                                       analysis_.frame_length(),
                                                       analysis_.hop_length())) *
                hop;
            const Eigen::Index tail = std::max<Eigen::Index>(0, joined.cols() - start);
            tail_ = joined.rightCols(tail);  // into the buffer at the commit
            return {-1 - tail, std::max<Eigen::Index>(0, start - joined.cols())};
        };
        const auto commit = [&](const Next& next) {
            channels_ = static_cast<std::size_t>(chunk.rows());
            if (next.held < 0) {  // frames completed: the tail is the next frame so far
                held_ = -1 - next.held;
                buffer_.leftCols(held_) = tail_;
            } else {
                held_ = next.held;
            }
            skip_ = next.skip;
            seen_ += static_cast<std::size_t>(chunk.cols());
        };
        guard_.push(compute, commit);
    }

    /** The rows of the frames `chunk` completes, for C++ callers. */
    Array push(Signal chunk) {
        Array rows;
        push(chunk, rows.allocator());
        return rows;
    }

    /** Samples pushed so far, per channel. */
    std::size_t samples_seen() const { return seen_; }
    /** The channel count of the first chunk, once one was pushed. */
    std::optional<std::size_t> channels() const { return channels_; }

private:
    using Matrix = FramedAnalysis::Filterbank::Matrix;

    FramedAnalysis analysis_;
    PushGuard guard_;
    std::optional<std::size_t> channels_;
    Matrix buffer_;  ///< (channels, frame_length): the next frame so far
    Matrix tail_;    ///< scratch: the next frame so far, until the commit
    Eigen::Index held_ = 0;  ///< samples of the next frame in the buffer
    Eigen::Index skip_ = 0;  ///< samples still to come before the next frame (hop > frame)
    std::size_t seen_ = 0;
};

}  // namespace vorl
