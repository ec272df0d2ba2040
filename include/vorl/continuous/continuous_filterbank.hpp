#pragma once

#include "vorl/kernels/gammatone_kernel.hpp"
#include "vorl/extractor/gammatone_filterbank.hpp"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorl {

/**
 * Gammatone filters that run continuously through a signal.
 *
 * The filters are the `GammatoneFilterbank`'s records and the recursion is the
 * same, sample for sample; only the state is carried from each sample to the
 * next and from one call of `process` to the next, instead of starting from
 * rest at every frame. Splitting a signal into chunks of any lengths and
 * processing them in order gives the same bits as processing it whole.
 */
class ContinuousFilterbank {
public:
    using Filter = extractor::GammatoneFilterbank<double>::Filter;

    /**
     * @param filters the filters, in the order of the output columns
     * @param decay   per-sample factor of the envelope integration (0: none)
     */
    ContinuousFilterbank(std::vector<Filter> filters, double decay)
        : filters_(std::make_shared<const std::vector<Filter>>(std::move(filters))),
          decay_(decay),
          states_(filters_->size()) {
        reset();
    }

    /** Puts every filter back at rest, as before the first sample. */
    void reset() {
        for (detail::GammatoneState<double>& state : states_) {
            detail::start_at_rest(state, 0.0);
        }
        integrated_ = true;
    }

    /** What `process` writes for each sample and filter. */
    using Output = detail::Output;

    /**
     * Runs every filter through samples `x[0..n)` and writes filter k's output
     * after sample t to `out[t * stride + k]`: by default its integrated,
     * gain-scaled envelope; with `Output::band_signal` its real band-pass
     * output, gain * (ur * qc + ui * qs) from the baseband output u and the
     * rotation (qc, qs) of that sample; with `Output::analytic` that and its
     * quadrature gain * (ui * qc - ur * qs) as the pair `out[t * stride + 2 * k]`,
     * `out[t * stride + 2 * k + 1]`. The band outputs take no envelope: the
     * envelope's integral does not follow them.
     *
     * @throws std::invalid_argument if `stride` is smaller than a row (the
     *         number of filters, twice that for the analytic output), or
     *         `what` is frame sums
     * @throws std::logic_error for envelopes after band outputs since the
     *         last `reset()`
     */
    void process(const double* x, std::size_t n, double* out, std::size_t stride,
                 Output what = Output::envelope) {
        const std::size_t row = what == Output::analytic ? 2 * filters_->size() : filters_->size();
        if (stride < row) {
            throw std::invalid_argument("row stride smaller than the number of filters");
        }
        if (what == Output::frame_sums || what == Output::terms) {
            throw std::invalid_argument("process() writes envelopes, band signals or pairs");
        }
        run(what, x, n, {out, stride, nullptr, 0, 0});
    }

    /**
     * Runs every filter through samples `x[0..n)` and writes the synthesis
     * term of filter k's analytic output (re, im) after sample t to `out[t *
     * stride + k]`: cr_k * (w * re) - ci_k * (w * im) with its complex factor
     * `factor_re[k]`, `factor_im[k]` and the weight w = `weights[t *
     * weights_stride + k]`; without weights (null), cr_k * re - ci_k * im.
     * Like the band outputs, it takes no envelope.
     *
     * @throws std::invalid_argument if `stride` or a non-null `weights`'
     *         stride is smaller than the number of filters
     */
    void synthesis_terms(const double* x, std::size_t n, double* out, std::size_t stride,
                         const double* factor_re, const double* factor_im,
                         const double* weights, std::size_t weights_stride) {
        if (stride < filters_->size() || (weights && weights_stride < filters_->size())) {
            throw std::invalid_argument("row stride smaller than the number of filters");
        }
        detail::Sink sink{out, stride, nullptr, 0, 0};
        sink.factor_re = factor_re;
        sink.factor_im = factor_im;
        sink.weights = weights;
        sink.weights_stride = weights_stride;
        run(Output::terms, x, n, sink);
    }

    /**
     * Runs every filter through samples `x[0..n)` and adds filter k's
     * integrated envelope after each sample, in sample order, to `sums[a][k]`
     * for every a < num_sums. Each array holds `detail::frame_sums_size(n
     * filters)` values; those past the filters are scratch.
     *
     * @throws std::logic_error after band outputs since the last `reset()`
     */
    void accumulate(const double* x, std::size_t n, double* const* sums, std::size_t num_sums) {
        run(Output::frame_sums, x, n, {nullptr, 0, sums, num_sums, 0});
    }

    /**
     * `accumulate` over spans of frames: the samples of span s (from the
     * previous span's end to `spans[s].end`) add to the sums of its frames.
     * Ends do not decrease; the last is `n`.
     *
     * @throws std::logic_error after band outputs since the last `reset()`
     */
    void accumulate(const double* x, std::size_t n, const detail::SumSpan* spans,
                    std::size_t num_spans) {
        detail::Sink sink{nullptr, 0, nullptr, 0, 0};
        sink.spans = spans;
        sink.num_spans = num_spans;
        run(Output::frame_sums, x, n, sink);
    }

    /** The filters, in output order. */
    const std::vector<Filter>& filters() const { return *filters_; }
    /** Per-sample factor of the envelope integration. */
    double decay() const { return decay_; }

private:
    void run(Output what, const double* x, std::size_t n, const detail::Sink& sink) {
        const bool envelope = what == Output::envelope || what == Output::frame_sums;
        if (envelope && !integrated_) {
            throw std::logic_error(
                "envelopes after band signals: the integral did not follow them; reset() first");
        }
        if (!envelope && n > 0) integrated_ = false;
        detail::best_gammatone_kernel<Filter>().run_continuous(
            what, filters_->data(), states_.data(), filters_->size(), decay_, x, n, sink);
    }

    /// shared by copies: a copy is a new state of the same filters
    std::shared_ptr<const std::vector<Filter>> filters_;
    double decay_;
    std::vector<detail::GammatoneState<double>> states_;
    bool integrated_ = true;  ///< the envelope's integral has followed every sample
};

}  // namespace vorl
