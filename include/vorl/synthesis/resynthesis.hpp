#pragma once

#include "vorl/continuous/bank.hpp"
#include "vorl/continuous/continuous_filterbank.hpp"
#include "vorl/continuous/signal_view.hpp"
#include "vorl/streams/array.hpp"
#include "vorl/streams/push_guard.hpp"
#include "vorl/streams/tasks.hpp"
#include "vorl/synthesis/synthesis.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorl {

/**
 * Analysis and synthesis of a signal in one pass, fed in chunks: each plane's
 * filters run through a span of samples and give each band's weighted term
 * (the analytic output times its factor) into a buffer that stays in the
 * cache, from which the synthesis renders the span at once. The output equals
 * a `SynthesisStream` fed the analytic `ContinuousStream`'s bands, bit for bit.
 * Threads share the planes.
 *
 * Follows the streams' protocol (`PushGuard`): a push works on a copy of the
 * filter states and of the kept terms, committed when it has succeeded.
 */
class Resynthesis {
public:
    /**
     * @param channel the analysed channel, a negative one for the mean of all,
     *        none for every channel
     * @param factor_re, factor_im, delays the synthesis' design, one entry per filter
     * @throws std::invalid_argument for a zero `threads`, or a design without
     *         one factor and one delay per filter
     */
    Resynthesis(Bank bank, std::optional<std::int32_t> channel, std::vector<double> factor_re,
                std::vector<double> factor_im, std::vector<std::size_t> delays,
                std::size_t threads)
        : bank_(std::move(bank)),
          channel_(channel),
          design_(std::move(factor_re), std::move(factor_im), std::move(delays)),
          threads_(threads) {
        if (threads == 0) throw std::invalid_argument("threads must be positive");
        if (design_.bands() != bank_.filters.size()) {
            throw std::invalid_argument("one factor and one delay per filter");
        }
    }

    /** Number of filters, and of weights per sample. */
    std::size_t bands() const { return design_.bands(); }

    /**
     * The output samples of `chunk`, into the values `allocate(shape)` returns:
     * shape (samples), or (channels, samples) when every channel is analysed.
     * `weights` (row t at `weights + t * filters`) or null scales each band's
     * analytic sample. `poll` is called every 2 ms while threads work.
     *
     * @throws std::invalid_argument if the chunk's channel count differs from
     *         the first chunk's, or lacks the analysed channel
     * @throws std::runtime_error if another push runs
     */
    template <typename Allocate, typename Poll = NoPoll>
    void push(const SignalView& chunk, const double* weights, Allocate&& allocate,
              Poll&& poll = {}) {
        const auto compute = [&] {
            State& s = scratch_;
            if (!state_.planes) {
                s.planes.emplace(channel_, chunk.channels);
                s.analysis.assign(s.planes->count(), ContinuousFilterbank(bank_.filters, bank_.decay));
                s.synthesis.assign(s.planes->count(), design_);
            } else {
                state_.planes->check_channels(chunk.channels);
                s.planes = state_.planes;
                s.analysis = state_.analysis;
                if (s.synthesis.size() != state_.synthesis.size()) {
                    s.synthesis = state_.synthesis;
                } else {  // only the kept terms: the lines past them are workspace
                    for (std::size_t p = 0; p < s.synthesis.size(); ++p) {
                        s.synthesis[p].keep_terms_of(state_.synthesis[p]);
                    }
                }
            }
            run(s, chunk, weights, allocate, poll);
            return 0;
        };
        guard_.push(compute, [&](int) { std::swap(state_, scratch_); });
    }

    /** The output samples of `chunk`, for C++ callers. */
    Array push(const SignalView& chunk, const double* weights = nullptr) {
        Array result;
        push(chunk, weights, result.allocator());
        return result;
    }

private:
    /** Samples analysed and synthesised at a time: their terms stay in the cache. */
    static constexpr std::size_t span = 512;

    /** Everything a push changes. */
    struct State {
        std::optional<Planes> planes;                ///< fixed by the first chunk
        std::vector<ContinuousFilterbank> analysis;  ///< one per plane
        std::vector<Synthesis> synthesis;            ///< one per plane
    };

    template <typename Allocate, typename Poll>
    void run(State& s, const SignalView& signal, const double* weights, Allocate& allocate,
             Poll& poll) const {
        const std::size_t m = bank_.filters.size(), n = signal.samples;
        const std::size_t planes = s.planes->count();
        double* out = allocate(channel_ ? std::vector<std::size_t>{n}
                                        : std::vector<std::size_t>{planes, n});
        const std::vector<double>& re = design_.factor_re();
        const std::vector<double>& im = design_.factor_im();
        run_tasks(
            planes, threads_,
            [&](std::size_t p, const std::atomic<bool>& stop) {
                std::vector<double> x(span), terms(m * span);
                for (std::size_t t0 = 0; t0 < n && !stop; t0 += span) {
                    const std::size_t count = std::min(span, n - t0);
                    signal.read(*s.planes, p, t0, count, x.data());
                    s.analysis[p].synthesis_terms(x.data(), count, terms.data(), m, re.data(),
                                                  im.data(), weights ? weights + m * t0 : nullptr,
                                                  m);
                    s.synthesis[p].push_terms(terms.data(), count, out + p * n + t0);
                }
            },
            poll);
    }

    Bank bank_;
    std::optional<std::int32_t> channel_;
    Synthesis design_;  ///< the design, at rest
    std::size_t threads_;
    PushGuard guard_;
    State state_;
    State scratch_;  ///< where a push works; swapped with the state when it succeeds
};

}  // namespace vorl
