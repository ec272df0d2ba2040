#pragma once

#include "vorl/continuous/bank.hpp"
#include "vorl/continuous/level.hpp"
#include "vorl/continuous/signal_view.hpp"
#include "vorl/extractor/gammatone_filterbank.hpp"
#include "vorl/streams/array.hpp"
#include "vorl/streams/tasks.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorl {

/** Whole frames starting at 0, hop, 2 hop, ... in a signal of `samples` samples. */
inline std::size_t whole_frames(std::size_t samples, std::size_t frame_length, std::size_t hop) {
    return samples < frame_length ? 0 : 1 + (samples - frame_length) / hop;
}

/**
 * Framed gammatone features of whole signals: every whole frame of every plane
 * through the framed extractor `GammatoneFilterbank`, each filter restarted
 * from rest at every frame, one row per frame. Rows equal the extractor's
 * features bit for bit. Threads share runs of frames.
 */
class FramedAnalysis {
public:
    using Filterbank = extractor::GammatoneFilterbank<double>;
    /** A (channels, samples) signal, column-major: the extractor's input type. */
    using Signal = Filterbank::MatrixView;

    /**
     * @throws std::invalid_argument if `frame_length`, `hop_length` or
     *         `threads` is 0
     */
    FramedAnalysis(Bank bank, std::size_t frame_length, std::size_t hop_length,
                   std::optional<std::int32_t> channel, Level level, std::size_t threads)
        : bank_(std::move(bank)),
          frame_length_(frame_length),
          hop_length_(hop_length),
          channel_(channel),
          level_(level),
          threads_(threads) {
        if (frame_length == 0 || hop_length == 0) {
            throw std::invalid_argument("frame_length and hop_length must be positive");
        }
        if (threads == 0) throw std::invalid_argument("threads must be positive");
    }

    /**
     * The rows of `signal`, into the values `allocate(shape)` returns: shape
     * (frames, filters), after a channel axis when every channel is analysed.
     * `poll` is called every 2 ms while threads work (see `run_tasks`).
     */
    template <typename Allocate, typename Poll = NoPoll>
    void run(Signal signal, Allocate&& allocate, Poll&& poll = {}) const {
        const Planes planes(channel_, static_cast<std::size_t>(signal.rows()));
        const std::size_t width = bank_.filters.size();
        const std::size_t frames =
            whole_frames(static_cast<std::size_t>(signal.cols()), frame_length_, hop_length_);
        double* rows = allocate(planes.shape(frames, width));
        // A rotation table costs about one and a half frames to make and saves an
        // eighth of each (bench_gammatone): short signals go without.
        const bool look_up_rotations = frames >= 32;
        // One extractor per plane, all sharing the first one's rotation table.
        std::vector<Filterbank> extractors;
        extractors.reserve(planes.count());
        for (std::size_t p = 0; p < planes.count(); ++p) {
            if (p == 0) {
                extractors.emplace_back(frame_length_, bank_.sample_rate, level_,
                                        planes.on_channel(p), bank_.filters, bank_.decay,
                                        look_up_rotations);
            } else {
                extractors.emplace_back(extractors.front(), planes.on_channel(p));
            }
        }
        // A task is a run of frames of one plane: the plane's samples of the run
        // are taken out once (the extractor's own channel selection), then its
        // frames go through the filters two at a time. A single brief task (a
        // stream's push of a frame or two, say; up to 2^21 filter-samples, about
        // 2 ms) runs on the calling thread, sparing it the start of a thread and
        // the wake-up at its end (on a 2-core VM, about 100 us a call).
        constexpr std::size_t frames_per_task = 16, frames_per_call = 2;
        const std::size_t runs = (frames + frames_per_task - 1) / frames_per_task;
        run_tasks(
            runs * planes.count(), threads_,
            [&](std::size_t task, const std::atomic<bool>& stop) {
                const std::size_t p = task / runs, first = task % runs * frames_per_task;
                const std::size_t last = std::min(frames, first + frames_per_task);
                const Filterbank& extractor = extractors[p];
                const std::size_t span = (last - 1 - first) * hop_length_ + frame_length_;
                const Filterbank::Frame samples = extractor.channel_selector(
                    signal.middleCols(static_cast<Eigen::Index>(first * hop_length_),
                                      static_cast<Eigen::Index>(span)));
                for (std::size_t i = first; i < last && !stop; i += frames_per_call) {
                    const std::size_t count = std::min(frames_per_call, last - i);
                    double* const out = rows + (p * frames + i) * width;
                    extractor.compute_frames(samples.data() + (i - first) * hop_length_,
                                             hop_length_, count, frame_length_, out, width);
                    // The level of every feature in order, as the extractor's call does.
                    const Level level = level_;
                    for (double* value = out; value != out + count * width; ++value) {
                        *value = level(*value);
                    }
                }
            },
            std::forward<Poll>(poll),
            runs * planes.count() == 1 && frames * frame_length_ * width <= brief_filter_samples);
    }

    /** The rows of `signal`, for C++ callers. */
    Array operator()(Signal signal) const {
        Array rows;
        run(signal, rows.allocator());
        return rows;
    }

    const Bank& bank() const { return bank_; }
    std::size_t frame_length() const { return frame_length_; }
    std::size_t hop_length() const { return hop_length_; }
    std::optional<std::int32_t> channel() const { return channel_; }
    std::size_t threads() const { return threads_; }

private:
    static constexpr std::size_t brief_filter_samples = std::size_t(1) << 21;

    Bank bank_;
    std::size_t frame_length_, hop_length_;
    std::optional<std::int32_t> channel_;
    Level level_;
    std::size_t threads_;
};

}  // namespace vorl
