#pragma once

#include "vorl/kernels/synthesis_lanes.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace vorl {

/**
 * Resynthesis from complex band signals. Output sample t is
 *
 *     y[t] = sum over bands k, in ascending order, of v_k[t - d_k],
 *     v_k[s] = cr_k * (w_k[s] * zr_k[s]) - ci_k * (w_k[s] * zi_k[s]),
 *
 * the real part of the band's complex factor c_k times its weighted sample
 * d_k samples earlier (zero before the first sample); without weights, w = 1
 * and the products with it are left out, which gives the same bits. The sum
 * starts from 0 and adds the bands in order, so the result does not depend on
 * how samples are split into calls or ranges. The terms of the last samples of
 * every band, as many as the longest delay, are kept from one call to the next: memory is the longest
 * delay and room for a few spans of samples, never the signal.
 *
 * The terms v_k of a span of samples are laid out band by band (a transpose
 * of the sample-major input, a tile at a time), so that each band's delayed
 * terms are added to the span's sums as one contiguous run
 * (`detail::synthesis_span_of`).
 */
class Synthesis {
public:
    /**
     * @param factor_re, factor_im the complex factor of each band
     * @param delays each band's delay, in samples
     * @throws std::invalid_argument unless the three have one entry per band
     */
    Synthesis(std::vector<double> factor_re, std::vector<double> factor_im,
              std::vector<std::size_t> delays)
        : re_(std::move(factor_re)), im_(std::move(factor_im)), delays_(std::move(delays)) {
        if (re_.size() != im_.size() || re_.size() != delays_.size()) {
            throw std::invalid_argument("one factor and one delay per band");
        }
        longest_ = delays_.empty() ? 0 : *std::max_element(delays_.begin(), delays_.end());
        lines_.assign(bands() * detail::synthesis_line_width(longest_), 0.0);
    }

    /** Number of bands. */
    std::size_t bands() const { return re_.size(); }
    /** Each band's complex factor, real and imaginary part. */
    const std::vector<double>& factor_re() const { return re_; }
    const std::vector<double>& factor_im() const { return im_; }

    /**
     * The `n` output samples of the next chunk into `out[0..n)`, then keeps
     * its last terms. `z` holds the chunk's bands as (re, im) pairs, row t at
     * `z + t * 2 * bands()`; `weights`, row t at `weights + t * bands()`, or null.
     */
    void push(const double* z, const double* weights, std::size_t n, double* out) {
        detail::best_synthesis_kernel().push(plan(), lines_.data(), start_, z, weights, n, out);
    }

    /**
     * As `push`, from the chunk's terms v_k (see the class), row t at `terms +
     * t * bands()`, as `ContinuousFilterbank::synthesis_terms` gives them.
     */
    void push_terms(const double* terms, std::size_t n, double* out) {
        detail::SynthesisPlan p = plan();
        p.from_terms = true;
        detail::best_synthesis_kernel().push(p, lines_.data(), start_, terms, nullptr, n, out);
    }

    /**
     * Output samples [t0, t1) of the next chunk, of `n` samples, into
     * `out[t0..t1)`, as `push` gives them. Reads the kept terms, writes
     * nothing else: disjoint ranges may run at once. Then `advance`.
     */
    void render(const double* z, const double* weights, std::size_t n, std::size_t t0,
                std::size_t t1, double* out) const {
        detail::best_synthesis_kernel().render(plan(), z, weights, n, t0, t1, out);
    }

    /** Keeps the last terms of a chunk whose output `render` gave. */
    void advance(const double* z, const double* weights, std::size_t n) {
        detail::best_synthesis_kernel().history(plan(), z, weights, n, lines_.data(),
                                                detail::synthesis_line_width(longest_));
        start_ = 0;
    }

    /**
     * Takes the terms `other`, a synthesis of the same design, keeps from its
     * earlier samples: this one then continues where `other` would, and
     * changing one leaves the other as it is.
     *
     * @throws std::invalid_argument if `other` has other bands or delays
     */
    void keep_terms_of(const Synthesis& other) {
        if (other.delays_ != delays_) {
            throw std::invalid_argument("keep_terms_of: a synthesis of another design");
        }
        const std::size_t width = detail::synthesis_line_width(longest_);
        for (std::size_t k = 0; k < bands(); ++k) {
            std::copy_n(other.lines_.begin() + static_cast<std::ptrdiff_t>(k * width + other.start_),
                        longest_, lines_.begin() + static_cast<std::ptrdiff_t>(k * width));
        }
        start_ = 0;
    }
private:
    detail::SynthesisPlan plan() const {
        return {re_.data(),
                im_.data(),
                delays_.data(),
                bands(),
                longest_,
                lines_.data() + start_,
                detail::synthesis_line_width(longest_),
                false};
    }

    std::vector<double> re_, im_;
    std::vector<std::size_t> delays_;
    std::size_t longest_ = 0;   ///< the longest delay
    /// band k's terms of the last longest_ samples, oldest first, at k * line width + start_;
    /// then room for the next spans'
    std::vector<double> lines_;
    std::size_t start_ = 0;
};

}  // namespace vorl
