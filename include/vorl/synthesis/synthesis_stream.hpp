#pragma once

#include "vorl/streams/array.hpp"
#include "vorl/streams/push_guard.hpp"
#include "vorl/streams/tasks.hpp"
#include "vorl/synthesis/synthesis.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorl {

/**
 * A `Synthesis` fed in chunks of complex band signals, of one plane or several
 * (the channels of a signal, each synthesised alone): each `push` renders its
 * chunk's output samples. Threads share the planes, or render ranges of
 * samples of one plane.
 *
 * Follows the streams' protocol (`PushGuard`): the output is rendered from the
 * kept terms without changing them (in order into scratch lines, or by ranges
 * on several threads), and the chunk's terms are kept only at the commit, so a
 * push that fails or is stopped changes nothing. The plane count is fixed by
 * the first push.
 */
class SynthesisStream {
public:
    /**
     * @param factor_re, factor_im, delays the design (see `Synthesis`)
     * @throws std::invalid_argument for a zero `threads`, or a design without
     *         one factor and one delay per band
     */
    SynthesisStream(std::vector<double> factor_re, std::vector<double> factor_im,
                    std::vector<std::size_t> delays, std::size_t threads)
        : design_(std::move(factor_re), std::move(factor_im), std::move(delays)),
          threads_(threads) {
        if (threads == 0) throw std::invalid_argument("threads must be positive");
    }

    std::size_t bands() const { return design_.bands(); }

    /**
     * The `n` output samples of each of `planes` planes into `out` (plane p at
     * `out + p * n`): `pairs` holds (re, im) per band, row t of plane p at
     * `pairs + (p * n + t) * 2 * bands()`; `weights`, the same for every plane,
     * row t at `weights + t * bands()`, or null. `poll` is called every 2 ms
     * while threads work.
     *
     * @throws std::invalid_argument if `planes` differs from the first push's
     * @throws std::runtime_error if another push runs
     */
    template <typename Poll = NoPoll>
    void push(const double* pairs, std::size_t planes, const double* weights, std::size_t n,
              double* out, Poll&& poll = {}) {
        const std::size_t m = bands();
        const auto compute = [&] {
            const bool first = kept_.empty();
            if (first) {
                if (planes == 0) throw std::invalid_argument("the bands have no channels");
                scratch_.assign(planes, design_);
            } else if (planes != kept_.size()) {
                throw std::invalid_argument(
                    "chunk has " + std::to_string(planes) +
                    " channel(s), but the stream's first chunk had " +
                    std::to_string(kept_.size()));
            }
            if (n <= block_samples || threads_ <= planes) {
                // Each plane in order, a block at a time, in scratch lines that
                // start from the kept terms.
                if (!first && scratch_.size() != planes) scratch_ = kept_;
                run_tasks(
                    planes, threads_,
                    [&](std::size_t p, const std::atomic<bool>& stop) {
                        if (!first) scratch_[p].keep_terms_of(kept_[p]);
                        for (std::size_t t0 = 0; t0 < n && !stop; t0 += block_samples) {
                            scratch_[p].push(pairs + 2 * m * (p * n + t0),
                                             weights ? weights + m * t0 : nullptr,
                                             std::min(block_samples, n - t0), out + p * n + t0);
                        }
                    },
                    poll, n <= block_samples);
                return true;
            }
            // Threads render ranges of each plane's output from the kept terms.
            const std::vector<Synthesis>& from = first ? scratch_ : kept_;
            const std::size_t ranges = (n + block_samples - 1) / block_samples;
            run_tasks(
                planes * ranges, threads_,
                [&](std::size_t task, const std::atomic<bool>&) {
                    const std::size_t p = task / ranges, t0 = task % ranges * block_samples;
                    from[p].render(pairs + 2 * m * p * n, weights, n, t0,
                                   std::min(n, t0 + block_samples), out + p * n);
                },
                poll);
            return false;
        };
        const auto commit = [&](bool in_scratch) {
            if (in_scratch || kept_.empty()) std::swap(kept_, scratch_);
            if (!in_scratch) {
                for (std::size_t p = 0; p < planes; ++p) {
                    kept_[p].advance(pairs + 2 * m * p * n, weights, n);
                }
            }
        };
        guard_.push(compute, commit);
    }

    /** The output samples of `n` rows of pairs (and weights, or null) of one plane, for C++ callers. */
    std::vector<double> push(const double* pairs, const double* weights, std::size_t n) {
        std::vector<double> out(n);
        push(pairs, 1, weights, n, out.data());
        return out;
    }

private:
    /** Output samples a task renders: small enough for a stop to be seen within 0.1 s. */
    static constexpr std::size_t block_samples = 1 << 14;

    Synthesis design_;  ///< the design, at rest
    std::vector<Synthesis> kept_;     ///< per plane, the terms kept from earlier chunks
    std::vector<Synthesis> scratch_;  ///< where an in-order push works; swapped in when it succeeds
    std::size_t threads_;
    PushGuard guard_;
};

}  // namespace vorl
