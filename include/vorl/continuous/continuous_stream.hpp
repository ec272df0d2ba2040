#pragma once

#include "vorl/continuous/bank.hpp"
#include "vorl/continuous/continuous_filterbank.hpp"
#include "vorl/continuous/continuous_frames.hpp"
#include "vorl/continuous/level.hpp"
#include "vorl/continuous/signal_view.hpp"
#include "vorl/framed/framed_analysis.hpp"
#include "vorl/streams/array.hpp"
#include "vorl/streams/push_guard.hpp"
#include "vorl/streams/tasks.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorl {

/**
 * The continuous filterbank fed in chunks: each `push` gives what its chunk
 * completes (frame rows, or one row per sample of envelopes, band signals or
 * analytic pairs), and the results of all pushes equal one push of the
 * concatenated chunks, bit for bit. A whole signal is one push.
 *
 * Threads share the planes and groups of filters, fixed by the first chunk.
 * Holds the filter states and, for rows, the sums of the open frames: memory
 * does not grow with the signal. Follows the streams' protocol (`PushGuard`):
 * a push works on a copy of the state, committed when it has succeeded.
 */
class ContinuousStream {
public:
    /** What a push gives. */
    enum class What { rows, envelopes, band_signals, analytic };

    /** @throws std::invalid_argument for a name other than the four outputs */
    static What what_of(const std::string& name) {
        if (name == "rows") return What::rows;
        if (name == "envelopes") return What::envelopes;
        if (name == "band_signals") return What::band_signals;
        if (name == "analytic") return What::analytic;
        throw std::invalid_argument(
            "output must be 'rows', 'envelopes', 'band_signals' or 'analytic'");
    }

    /**
     * @param frame_length, hop_length the frames of rows (unused otherwise)
     * @param channel the analysed channel, a negative one for the mean of all,
     *        none for every channel
     * @param level what a row's band level becomes
     * @throws std::invalid_argument for a zero `threads`, or a zero frame
     *         length or hop for rows
     */
    ContinuousStream(Bank bank, What what, std::size_t frame_length, std::size_t hop_length,
                     std::optional<std::int32_t> channel, Level level, std::size_t threads)
        : bank_(std::move(bank)),
          what_(what),
          frame_length_(frame_length),
          hop_length_(hop_length),
          channel_(channel),
          level_(level),
          threads_(threads) {
        if (threads == 0) throw std::invalid_argument("threads must be positive");
        if (what == What::rows && (frame_length == 0 || hop_length == 0)) {
            throw std::invalid_argument("frame_length and hop_length must be positive");
        }
    }

    /**
     * What `chunk` completes, into the values `allocate(shape)` returns: shape
     * (rows, filters), (samples, filters), or (samples, 2 filters) analytic
     * (re, im) pairs, after a channel axis when every channel is analysed.
     * `poll` is called every 2 ms while threads work (see `run_tasks`).
     *
     * @throws std::invalid_argument if the chunk's channel count differs from
     *         the first chunk's, or lacks the analysed channel
     * @throws std::runtime_error if another push runs
     */
    template <typename Allocate, typename Poll = NoPoll>
    void push(const SignalView& chunk, Allocate&& allocate, Poll&& poll = {}) {
        const auto compute = [&] {
            scratch_ = state_;
            State& s = scratch_;
            if (!s.planes) {
                start(s, chunk.channels);
            } else {
                s.planes->check_channels(chunk.channels);
            }
            run(s, chunk, allocate, poll);
            return 0;
        };
        guard_.push(compute, [&](int) { std::swap(state_, scratch_); });
    }

    /** What `chunk` completes, for C++ callers. */
    Array push(const SignalView& chunk) {
        Array result;
        push(chunk, result.allocator());
        return result;
    }

    /** Samples pushed so far, per channel. */
    std::size_t samples_seen() const { return state_.seen; }
    /** The channel count of the first chunk, once one was pushed. */
    std::optional<std::size_t> channels() const {
        return state_.planes ? std::optional<std::size_t>(state_.planes->channels) : std::nullopt;
    }
    const Bank& bank() const { return bank_; }

private:
    using Filter = Bank::Filter;
    using Output = ContinuousFilterbank::Output;

    /** Everything a push changes. */
    struct State {
        std::optional<Planes> planes;       ///< fixed by the first chunk
        std::vector<std::size_t> bounds;    ///< filter groups: [bounds[g], bounds[g+1])
        std::vector<ContinuousFrames> frames;        ///< rows: one per plane and group
        std::vector<ContinuousFilterbank> filters;  ///< other outputs: the same
        std::size_t seen = 0;
    };

    static constexpr std::size_t block_samples = 4096;     ///< read, and stop checked, per block
    static constexpr std::size_t brief_samples = 1 << 16;  ///< chunks this short run inline

    /** Filter groups for the threads over the planes: whole pairs of vectors each. */
    std::vector<std::size_t> group_bounds(std::size_t planes) const {
        const std::size_t width = bank_.filters.size();
        const std::size_t unit =
            2 * static_cast<std::size_t>(detail::best_gammatone_kernel<Filter>().width());
        const std::size_t units = std::max<std::size_t>(1, (width + unit - 1) / unit);
        const std::size_t groups =
            std::min(units, std::max<std::size_t>(1, (threads_ + planes - 1) / planes));
        std::vector<std::size_t> bounds;
        for (std::size_t g = 0; g <= groups; ++g) {
            bounds.push_back(std::min(width, units * g / groups * unit));
        }
        return bounds;
    }

    /** Fixes the planes and the groups of filters by the first chunk's channel count. */
    void start(State& s, std::size_t channels) const {
        s.planes.emplace(channel_, channels);
        s.bounds = group_bounds(s.planes->count());
        for (std::size_t p = 0; p < s.planes->count(); ++p) {
            for (std::size_t g = 0; g + 1 < s.bounds.size(); ++g) {
                std::vector<Filter> group(
                    bank_.filters.begin() + static_cast<std::ptrdiff_t>(s.bounds[g]),
                    bank_.filters.begin() + static_cast<std::ptrdiff_t>(s.bounds[g + 1]));
                if (what_ == What::rows) {
                    s.frames.emplace_back(std::move(group), bank_.decay, frame_length_,
                                          hop_length_, level_);
                } else {
                    s.filters.emplace_back(std::move(group), bank_.decay);
                }
            }
        }
    }

    template <typename Allocate, typename Poll>
    void run(State& s, const SignalView& signal, Allocate& allocate, Poll& poll) const {
        const bool rows = what_ == What::rows;
        const Output output = what_ == What::analytic       ? Output::analytic
                              : what_ == What::band_signals ? Output::band_signal
                                                            : Output::envelope;
        // The analytic output is a pair of doubles (re, im) per filter.
        const std::size_t width = bank_.filters.size();
        const std::size_t pair = what_ == What::analytic ? 2 : 1, cols = pair * width;
        const std::size_t before = s.seen, after = s.seen + signal.samples;
        const std::size_t count =
            rows ? whole_frames(after, frame_length_, hop_length_) -
                       whole_frames(before, frame_length_, hop_length_)
                 : signal.samples;
        double* out = allocate(s.planes->shape(count, cols));
        const std::size_t groups = s.bounds.size() - 1;
        // Per-sample outputs go a block of rows at a time through every group of
        // filters, each writing its columns: blocks whose rows (up to 256 KiB)
        // stay in the cache from one group to the next.
        const std::size_t block =
            rows ? block_samples
                 : std::clamp<std::size_t>((std::size_t(256) << 10) / (sizeof(double) * cols),
                                           64, block_samples);
        run_tasks(
            s.planes->count() * groups, threads_,
            [&](std::size_t task, const std::atomic<bool>& stop) {
                const std::size_t p = task / groups, lo = s.bounds[task % groups];
                const std::size_t n_filters = s.bounds[task % groups + 1] - lo;
                std::vector<double> x(std::min(block, signal.samples));
                double* row = out + p * count * cols + pair * lo;
                for (std::size_t t0 = 0; t0 < signal.samples && !stop; t0 += block) {
                    const std::size_t n = std::min(block, signal.samples - t0);
                    signal.read(*s.planes, p, t0, n, x.data());
                    if (rows) {
                        s.frames[task].push(x.data(), n, [&](const double* values) {
                            std::copy(values, values + n_filters, row);
                            row += width;
                        });
                    } else {
                        s.filters[task].process(x.data(), n, row + t0 * cols, cols, output);
                    }
                }
            },
            poll, signal.samples <= brief_samples);
        s.seen = after;
    }

    Bank bank_;
    What what_;
    std::size_t frame_length_, hop_length_;
    std::optional<std::int32_t> channel_;
    Level level_;
    std::size_t threads_;
    PushGuard guard_;
    State state_;
    State scratch_;  ///< where a push works; swapped with the state when it succeeds
};

}  // namespace vorl
