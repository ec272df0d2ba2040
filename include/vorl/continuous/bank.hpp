#pragma once

#include "vorl/extractor/gammatone_filterbank.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorl {

/** The filters and the integration factor of one analysis. */
struct Bank {
    using Filter = extractor::GammatoneFilterbank<double>::Filter;

    std::int32_t sample_rate;
    std::vector<Filter> filters;
    double decay;  ///< per-sample factor of the envelope integration

    /**
     * `num_bands` filters spaced on the ERB-rate scale from `low_Hz` to
     * `high_Hz`, as the framed extractor makes them.
     */
    static Bank on_erb_scale(std::int32_t sample_rate, std::size_t num_bands, double low_Hz,
                             double high_Hz, double bandwidth_factor = 1.019,
                             double temporal_integration = 0.0) {
        using Filterbank = extractor::GammatoneFilterbank<double>;
        return {sample_rate,
                Filterbank::make_filters(low_Hz, high_Hz, num_bands, sample_rate,
                                         bandwidth_factor),
                Filterbank::decay_of(sample_rate, temporal_integration)};
    }

    /** One filter at each of `center_frequencies` (Hz), in that order. */
    static Bank at(std::int32_t sample_rate, const std::vector<double>& center_frequencies,
                   double bandwidth_factor = 1.019, double temporal_integration = 0.0) {
        using Filterbank = extractor::GammatoneFilterbank<double>;
        Bank bank{sample_rate, {}, Filterbank::decay_of(sample_rate, temporal_integration)};
        for (const double cf : center_frequencies) {
            bank.filters.push_back(Filterbank::design_filter(cf, sample_rate, bandwidth_factor));
        }
        return bank;
    }

    /** Centre frequency of each filter, Hz. */
    std::vector<double> center_frequencies() const {
        std::vector<double> cfs;
        for (const Filter& f : filters) cfs.push_back(f.cf);
        return cfs;
    }
};

}  // namespace vorl
