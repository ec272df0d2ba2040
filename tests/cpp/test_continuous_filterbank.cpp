#include <vorl/continuous/continuous_filterbank.hpp>
#include <vorl/continuous/continuous_frames.hpp>

#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

namespace {

using vorl::ContinuousFilterbank;
using vorl::ContinuousFrames;
using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;
using State = vorl::detail::GammatoneState<double>;
using Vec = std::vector<double>;
using Output = vorl::detail::Output;

using vorl_test::identity;
using vorl_test::noise;
using vorl_test::same;

// The scalar recursion of each filter, carried through the whole signal: (samples x filters),
// or (samples x filters) (re, im) pairs for the analytic output.
Vec scalar_outputs(const Filterbank& fb, const Vec& x, Output what) {
    namespace d = vorl::detail;
    const std::size_t m = fb.filters.size();
    Vec out(x.size() * m * (what == Output::analytic ? 2 : 1));
    for (std::size_t k = 0; k < m; ++k) {
        const Filter& f = fb.filters[k];
        const d::GammatoneCoefficients<double> c{f.a[0], f.a[1], f.a[2],  f.a[3],
                                                 f.a[4], f.gain, f.coscf, f.sincf};
        State st;
        d::start_at_rest(st, 0.0);
        for (std::size_t t = 0; t < x.size(); ++t) {
            const double qc = st.qc, qs = st.qs;
            const auto u = d::gammatone_step<d::ScalarMath<double>>(st, c, fb.decay, x[t]);
            if (what == Output::analytic) {
                out[2 * (t * m + k)] = d::band_sample(u, qc, qs, f.gain);
                out[2 * (t * m + k) + 1] = d::quadrature_sample(u, qc, qs, f.gain);
            } else {
                out[t * m + k] = what == Output::envelope ? st.total : d::band_sample(u, qc, qs, f.gain);
            }
        }
    }
    return out;
}

std::vector<State> at_rest(std::size_t m) {
    std::vector<State> states(m);
    for (State& s : states) vorl::detail::start_at_rest(s, 0.0);
    return states;
}

class Counts : public ::testing::TestWithParam<std::size_t> {};

// Calls of 0, 1, 2 and an odd number of samples, then the rest: the state must carry over.
const std::size_t chunks[] = {0, 1, 2, 330};

// Faint noise, digital silence in which the high filters' outputs fall below
// the flush threshold, then noise again: runs of samples where nothing is
// flushed, where something is, and again where nothing is.
Vec silence_between(std::size_t n, unsigned seed) {
    Vec x = noise(n, seed);
    for (std::size_t t = 0; t < n; ++t) x[t] *= t < n / 4 ? 1e-30 : t < 3 * n / 4 ? 0 : 1;
    return x;
}

void expect_kernels_match_scalar_across_calls(const Filterbank& fb, const Vec& x) {
    const std::size_t m = fb.filters.size();
    for (const Output what : {Output::envelope, Output::band_signal, Output::analytic}) {
        const Vec expected = scalar_outputs(fb, x, what);
        const std::size_t cols = what == Output::analytic ? 2 * m : m;
        for (const auto& kernel : vorl::detail::gammatone_kernels<Filter>) {
            if (!kernel.supported()) continue;
            std::vector<State> states = at_rest(m);
            Vec out(x.size() * cols, -1.0);
            vorl::detail::thread_optimism() = {};  // start as a thread that has met no silence
            std::size_t t = 0;
            for (const std::size_t n : chunks) {
                kernel.run_continuous(what, fb.filters.data(), states.data(), m, fb.decay,
                                      x.data() + t, n, {out.data() + t * cols, cols, nullptr, 0, 0});
                t += n;
            }
            kernel.run_continuous(what, fb.filters.data(), states.data(), m, fb.decay,
                                  x.data() + t, x.size() - t,
                                  {out.data() + t * cols, cols, nullptr, 0, 0});
            for (std::size_t i = 0; i < out.size(); ++i) {
                ASSERT_TRUE(same(out[i], expected[i])) << kernel.name << " value " << i % cols
                                                       << " sample " << i / cols;
            }
        }
    }
}

TEST_P(Counts, EveryKernelMatchesTheScalarRecursionAcrossCalls) {
    const Filterbank fb(64, GetParam(), 44100, identity, -1, 50, 8000, 0.002);
    Vec x = noise(700);
    x[5] = 1e-310;  // subnormal
    x[9] = 1e300;
    expect_kernels_match_scalar_across_calls(fb, x);
    expect_kernels_match_scalar_across_calls(fb, silence_between(2400, 3));
}

TEST_P(Counts, EveryKernelGivesTheSynthesisTermsOfTheAnalyticOutput) {
    namespace d = vorl::detail;
    const Filterbank fb(64, GetParam(), 44100, identity, -1, 50, 8000, 0.002);
    const Vec x = noise(400, 11);
    const std::size_t m = fb.filters.size();
    const Vec pairs = scalar_outputs(fb, x, Output::analytic);
    const Vec re = noise(m, 12), im = noise(m, 13), w = noise(x.size() * (m + 1), 14);
    for (const bool weighted : {false, true}) {
        for (const auto& kernel : d::gammatone_kernels<Filter>) {
            if (!kernel.supported()) continue;
            std::vector<State> states = at_rest(m);
            Vec out(x.size() * m, -1.0);
            std::size_t t = 0;
            for (const std::size_t n : {std::size_t(3), x.size() - 3}) {
                d::Sink sink{out.data() + t * m, m, nullptr, 0, 0};
                sink.factor_re = re.data();
                sink.factor_im = im.data();
                sink.weights = weighted ? w.data() + t * (m + 1) : nullptr;
                sink.weights_stride = m + 1;
                kernel.run_continuous(Output::terms, fb.filters.data(), states.data(), m,
                                      fb.decay, x.data() + t, n, sink);
                t += n;
            }
            for (std::size_t s = 0; s < x.size(); ++s) {
                for (std::size_t k = 0; k < m; ++k) {
                    const double wk = w[s * (m + 1) + k];
                    const double expected = d::synthesis_term<true>(
                        pairs[2 * (s * m + k)], pairs[2 * (s * m + k) + 1], re[k], im[k],
                        weighted ? wk : 1.0);
                    ASSERT_TRUE(same(out[s * m + k], expected))
                        << kernel.name << (weighted ? " weighted" : "") << " sample " << s
                        << " filter " << k;
                }
            }
        }
    }
}

void expect_kernels_add_envelopes_to_frame_sums(const Filterbank& fb, const Vec& x) {
    namespace d = vorl::detail;
    const std::size_t m = fb.filters.size();
    const Vec env = scalar_outputs(fb, x, Output::envelope);
    for (const auto& kernel : d::gammatone_kernels<Filter>) {
        if (!kernel.supported()) continue;
        for (std::size_t num_sums : {1, 2, 3, 9}) {
            // Sums that already hold something, added to in sample order.
            std::vector<Vec> sums(num_sums, Vec(d::frame_sums_size(m)));
            std::vector<double*> at;
            for (std::size_t a = 0; a < num_sums; ++a) {
                for (double& v : sums[a]) v = 0.25 * double(a + 1);
                at.push_back(sums[a].data());
            }
            std::vector<State> states = at_rest(m);
            vorl::detail::thread_optimism() = {};  // start as a thread that has met no silence
            std::size_t t = 0;
            const auto add = [&](std::size_t n) {
                kernel.run_continuous(Output::frame_sums, fb.filters.data(), states.data(), m,
                                      fb.decay, x.data() + t, n,
                                      {nullptr, 0, at.data(), num_sums, 0});
                t += n;
            };
            for (const std::size_t n : chunks) add(n);
            add(x.size() - t);
            for (std::size_t k = 0; k < m; ++k) {
                for (std::size_t a = 0; a < num_sums; ++a) {
                    double expected = 0.25 * double(a + 1);
                    for (std::size_t s = 0; s < x.size(); ++s) expected += env[s * m + k];
                    ASSERT_TRUE(same(sums[a][k], expected))
                        << kernel.name << " with " << num_sums << " sums, filter " << k;
                }
            }
        }
    }
}

TEST_P(Counts, EveryKernelAddsEnvelopesToAnyNumberOfFrameSums) {
    const Filterbank fb(64, GetParam(), 44100, identity, -1, 50, 8000, 0.002);
    expect_kernels_add_envelopes_to_frame_sums(fb, noise(500, 5));
    expect_kernels_add_envelopes_to_frame_sums(fb, silence_between(2400, 6));
}

TEST_P(Counts, EveryKernelWritesOnlyItsFiltersColumnsOfAWiderRow) {
    const Filterbank fb(64, GetParam(), 44100, identity, -1, 50, 8000, 0.002);
    const Vec x = noise(9, 2);
    const std::size_t m = fb.filters.size(), stride = m + 3;
    for (const Output what : {Output::envelope, Output::band_signal}) {
        const Vec expected = scalar_outputs(fb, x, what);
        for (const auto& kernel : vorl::detail::gammatone_kernels<Filter>) {
            if (!kernel.supported()) continue;
            std::vector<State> states = at_rest(m);
            Vec out(x.size() * stride + 8, -7.0);  // padding lanes must write nothing
            kernel.run_continuous(what, fb.filters.data(), states.data(), m, fb.decay, x.data(),
                                  x.size(), {out.data(), stride, nullptr, 0, 0});
            for (std::size_t i = 0; i < out.size(); ++i) {
                const std::size_t t = i / stride, k = i % stride;
                const bool column = t < x.size() && k < m;
                ASSERT_TRUE(same(out[i], column ? expected[t * m + k] : -7.0))
                    << kernel.name << " at row " << t << ", column " << k;
            }
        }
    }
}
INSTANTIATE_TEST_SUITE_P(AroundGroupSizes, Counts,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33));

TEST(ContinuousFilterbank, AnyChunkingGivesTheSameBits) {
    const Filterbank fb(64, 20, 16000, identity, -1, 100, 6000, 0);
    const Vec x = noise(3000, 7);
    ContinuousFilterbank whole(fb.filters, fb.decay), chunked(fb.filters, fb.decay);
    Vec a(x.size() * 20), b(x.size() * 20);
    whole.process(x.data(), x.size(), a.data(), 20);
    std::size_t t = 0;
    for (std::size_t size : {0, 1, 1, 2, 511, 0, 1000, 3}) {
        chunked.process(x.data() + t, size, b.data() + t * 20, 20);
        t += size;
    }
    chunked.process(x.data() + t, x.size() - t, b.data() + t * 20, 20);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0);

    chunked.reset();
    chunked.process(x.data(), x.size(), b.data(), 20);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0);
}

TEST(ContinuousFilterbank, SynthesisTermsNeedTheirFactorsAndWholeRows) {
    const Filterbank fb(64, 20, 16000, identity, -1, 100, 6000, 0);
    ContinuousFilterbank cfb(fb.filters, fb.decay);
    const Vec x = noise(10, 4), factors(20, 1.0), w(10 * 20, 1.0);
    Vec out(10 * 40);
    EXPECT_THROW(cfb.process(x.data(), 10, out.data(), 20, Output::terms), std::invalid_argument);
    EXPECT_THROW(cfb.synthesis_terms(x.data(), 10, out.data(), 19, factors.data(), factors.data(),
                                     nullptr, 0),
                 std::invalid_argument);
    EXPECT_THROW(cfb.synthesis_terms(x.data(), 10, out.data(), 20, factors.data(), factors.data(),
                                     w.data(), 19),
                 std::invalid_argument);
    cfb.synthesis_terms(x.data(), 10, out.data(), 20, factors.data(), factors.data(), nullptr, 0);
}

TEST(ContinuousFilterbank, EnvelopesAfterBandOutputsAreRefusedUntilReset) {
    const Filterbank fb(64, 20, 16000, identity, -1, 100, 6000, 0.002);
    const Vec x = noise(300, 9);
    ContinuousFilterbank cfb(fb.filters, fb.decay), fresh(fb.filters, fb.decay);
    Vec out(x.size() * 40), expected(x.size() * 20);
    cfb.process(x.data(), 0, out.data(), 20, Output::band_signal);  // no sample: still whole
    cfb.process(x.data(), x.size(), out.data(), 40, Output::analytic);
    EXPECT_THROW(cfb.process(x.data(), x.size(), out.data(), 20), std::logic_error);
    double sum[32] = {};
    double* sums[] = {sum};
    EXPECT_THROW(cfb.accumulate(x.data(), x.size(), sums, 1), std::logic_error);
    cfb.reset();
    cfb.process(x.data(), x.size(), out.data(), 20);
    fresh.process(x.data(), x.size(), expected.data(), 20);
    EXPECT_EQ(std::memcmp(out.data(), expected.data(), expected.size() * sizeof(double)), 0);
}

TEST(ContinuousFilterbank, FirstFrameEqualsTheFramedExtractor) {
    const Filterbank fb(1024, 64, 44100, identity, -1, 50, 8000, 0.008);
    const Vec x = noise(1500, 3);
    ContinuousFilterbank cfb(fb.filters, fb.decay);
    Vec totals(x.size() * 64);
    cfb.process(x.data(), x.size(), totals.data(), 64);
    const Vec framed = fb(Vec(x.begin(), x.begin() + 1024));
    for (std::size_t k = 0; k < 64; ++k) {
        double sum = 0;
        for (std::size_t t = 0; t < 1024; ++t) sum += totals[t * 64 + k];
        EXPECT_TRUE(same(vorl::detail::frame_average(sum, fb.decay, 1024), framed[k]))
            << "band " << k;
    }
}

// Frame length and hop: overlapping, adjacent, with gaps, and a hop of one sample.
class Framing : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Framing, RowsSumTheEnvelopesOfTheirFramesInAnyChunking) {
    const auto [length, hop] = GetParam();
    const Filterbank fb(64, 19, 16000, identity, -1, 100, 6000, 0.001);
    const Vec x = noise(400, 11);
    ContinuousFilterbank whole(fb.filters, fb.decay);
    Vec env(x.size() * 19);
    whole.process(x.data(), x.size(), env.data(), 19);
    Vec expected;
    for (std::size_t start = 0; start + length <= x.size(); start += hop) {
        for (std::size_t k = 0; k < 19; ++k) {
            double sum = 0;
            for (std::size_t t = start; t < start + length; ++t) sum += env[t * 19 + k];
            expected.push_back(vorl::detail::frame_average(sum, fb.decay, length));
        }
    }
    // Short chunks (empty ones among them), and the whole signal in one push:
    // its pieces open many frames each, which the kernel runs span by span.
    for (const std::size_t longest : {std::size_t(40), x.size() + 1}) {
        std::mt19937 rng(length * 100 + hop);
        ContinuousFrames frames(fb.filters, fb.decay, length, hop, identity);
        Vec rows;
        for (std::size_t t = 0; t < x.size();) {
            const std::size_t n = std::min<std::size_t>(x.size() - t, rng() % longest);
            frames.push(x.data() + t, n,
                        [&](const double* row) { rows.insert(rows.end(), row, row + 19); });
            t += n;
        }
        ASSERT_EQ(rows.size(), expected.size()) << "chunks up to " << longest;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_TRUE(same(rows[i], expected[i])) << i << ", chunks up to " << longest;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Geometries, Framing,
                         ::testing::Values(std::make_tuple(16, 5), std::make_tuple(8, 8),
                                           std::make_tuple(5, 7), std::make_tuple(6, 1),
                                           std::make_tuple(1, 1), std::make_tuple(25, 10),
                                           std::make_tuple(3, 2), std::make_tuple(40, 3)));

TEST(ContinuousFilterbank, RowStrideMustHoldEveryFilter) {
    const Filterbank fb(16, 4, 16000, identity, -1, 100, 6000, 0);
    ContinuousFilterbank cfb(fb.filters, fb.decay);
    Vec x(8), totals(32);
    EXPECT_THROW(cfb.process(x.data(), 8, totals.data(), 3), std::invalid_argument);
}

}  // namespace
