#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace vorl {
namespace extractor {

/**
 * Resynthesis from complex band signals. Output sample t is
 *
 *     y[t] = sum over bands k, in ascending order, of
 *            cr_k * (w_k[s] * zr_k[s]) - ci_k * (w_k[s] * zi_k[s]),   s = t - d_k,
 *
 * the real part of the band's complex factor c_k times its weighted sample
 * d_k samples earlier (zero before the first sample); without weights, w = 1
 * and the products with it are left out, which gives the same bits. The sum
 * starts from 0 and adds the bands in order, so the result does not depend on
 * how samples are split into calls or ranges. Each band keeps its last d_k
 * weighted samples from one call to the next: memory is the longest delay,
 * never the signal.
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
        for (std::size_t d : delays_) history_.emplace_back(2 * d, 0.0);
        longest_ = delays_.empty() ? 0 : *std::max_element(delays_.begin(), delays_.end());
    }

    /** Number of bands. */
    std::size_t bands() const { return re_.size(); }

    /**
     * Output samples [t0, t1) of a chunk of `n` samples into `out[t0..t1)`.
     * `z` holds the chunk's bands as (re, im) pairs, row t at `z + t * 2 *
     * bands()`; `weights`, row t at `weights + t * bands()`, or null. Reads the
     * kept samples, writes nothing else: disjoint ranges may run at once.
     */
    void render(const double* z, const double* weights, std::size_t n, std::size_t t0,
                std::size_t t1, double* out) const {
        t1 = std::min(t1, n);
        // Samples within the longest delay of the chunk's start may read kept
        // samples; the others read the chunk alone, without the check.
        const std::size_t split = std::min(std::max(t0, longest_), t1);
        if (weights) {
            render_samples<true, true>(z, weights, t0, split, out);
            render_samples<true, false>(z, weights, split, t1, out);
        } else {
            render_samples<false, true>(z, nullptr, t0, split, out);
            render_samples<false, false>(z, nullptr, split, t1, out);
        }
    }

    /** Keeps each band's last d_k weighted samples, once the chunk is rendered. */
    void advance(const double* z, const double* weights, std::size_t n) {
        const std::size_t m = bands();
        for (std::size_t k = 0; k < m; ++k) {
            std::vector<double>& kept = history_[k];
            const std::size_t d = delays_[k];
            if (d == 0) continue;
            const std::size_t from_chunk = std::min(n, d);
            // Older kept samples move to the front; the chunk's last ones follow.
            std::copy(kept.begin() + 2 * from_chunk, kept.end(), kept.begin());
            double* at = kept.data() + 2 * (d - from_chunk);
            for (std::size_t s = n - from_chunk; s < n; ++s, at += 2) {
                double zr = z[2 * (s * m + k)], zi = z[2 * (s * m + k) + 1];
                if (weights) {
                    const double w = weights[s * m + k];
                    zr = w * zr;
                    zi = w * zi;
                }
                at[0] = zr;
                at[1] = zi;
            }
        }
    }

private:
    /**
     * Output samples [t0, t1), a block of samples at a time: each band in
     * order adds its terms to the block's sums, so every sample's sum still
     * takes the bands in order, while the samples' sums do not wait on one
     * another. Row t - d_k of the chunk holds band k's input, so the rows a
     * block reads stay within the longest delay of each other.
     */
    template <bool Weighted, bool MayReadKept>
    void render_samples(const double* z, const double* weights, std::size_t t0, std::size_t t1,
                        double* out) const {
        constexpr std::size_t block = 32;  // measured: 16 and 64 are slower
        const std::size_t m = bands();
        double sums[block];
        for (std::size_t b0 = t0; b0 < t1; b0 += block) {
            const std::size_t b1 = std::min(t1, b0 + block), count = b1 - b0;
            std::fill(sums, sums + count, 0.0);
            for (std::size_t k = 0; k < m; ++k) {
                const double cr = re_[k], ci = im_[k];
                const std::size_t d = delays_[k];
                std::size_t t = b0;
                if (MayReadKept) {  // samples from before this chunk
                    for (; t < b1 && t < d; ++t) {
                        sums[t - b0] += cr * history_[k][2 * t] - ci * history_[k][2 * t + 1];
                    }
                }
                const double* zk = z + 2 * k;
                for (; t < b1; ++t) {
                    const std::size_t at = (t - d) * m;
                    double zr = zk[2 * at], zi = zk[2 * at + 1];
                    if (Weighted) {
                        zr = weights[at + k] * zr;
                        zi = weights[at + k] * zi;
                    }
                    sums[t - b0] += cr * zr - ci * zi;
                }
            }
            std::copy(sums, sums + count, out + b0);
        }
    }

    std::vector<double> re_, im_;
    std::vector<std::size_t> delays_;
    std::vector<std::vector<double>> history_;  ///< per band: d_k (re, im) pairs, oldest first
    std::size_t longest_ = 0;                   ///< the longest delay
};

}  // namespace extractor
}  // namespace vorl
