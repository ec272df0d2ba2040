#include <vorl/extractor/gammatone_filterbank.hpp>

#include <gtest/gtest.h>

#include "helpers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Filterbank = vorl::extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;
using Kernel = vorl::detail::GammatoneKernel<Filter>;
using Vec = std::vector<double>;

using vorl_test::identity;
using vorl_test::same;

Filterbank bank(std::size_t count, double integration = 0, double low = 50, double high = 8000,
                std::int32_t rate = 44100, std::size_t samples = 1024) {
    return Filterbank(samples, count, rate, identity, -1, low, high, integration);
}

Vec reference(const Filterbank& fb, const Vec& frame) {
    Vec out(fb.num_features);
    for (std::size_t i = 0; i < fb.num_features; ++i) fb.filters[i].process(frame, out[i], fb.decay);
    return out;
}

Vec frame_of(const std::string& kind, std::size_t n) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    Vec x(n);
    for (double& s : x) s = normal(rng);
    const double inf = std::numeric_limits<double>::infinity();
    if (kind == "tiny") {
        for (double& s : x) s *= 1e-40;  // all-pole outputs cross the flush threshold
    } else if (kind == "subnormal") {
        for (std::size_t t = 0; t < n; t += 3) x[t] = std::numeric_limits<double>::denorm_min() * t;
    } else if (kind == "inf" && n > 100) {
        x[100] = inf;
        x[101] = -inf;
    } else if (kind == "nan" && n > 10) {
        x[10] = std::nan("");
    } else if (kind == "zeros") {
        x.assign(n, 0.0);
    } else if (kind == "silence") {
        // Faint noise, digital silence in which the high filters' outputs fall
        // below the flush threshold, then noise again: runs of samples where
        // nothing is flushed, where something is, and again where nothing is.
        for (std::size_t t = 0; t < n; ++t) x[t] *= t < n / 3 ? 1e-30 : t < 2 * n / 3 ? 0 : 1;
    }
    return x;
}

std::vector<Kernel> kernels_of_this_cpu() {
    std::vector<Kernel> found;
    for (const Kernel& k : vorl::detail::gammatone_kernels<Filter>)
        if (k.supported()) found.push_back(k);
    return found;
}

using LaneCase = std::tuple<std::size_t, double, std::string, std::size_t>;
class Lanes : public ::testing::TestWithParam<LaneCase> {};

TEST_P(Lanes, EveryKernelMatchesScalarProcessBitForBit) {
    const auto [count, integration, kind, n] = GetParam();
    const Filterbank fb = bank(count, integration, 20, 20000, 48000, n);
    // Three frames overlapping by about half: a pair run together and one alone
    // by the kernels that take two frames at a time.
    constexpr std::size_t frames = 3;
    const std::size_t hop = n / 2 + 1, stride = count + 8;
    const Vec signal = frame_of(kind, n + (frames - 1) * hop);
    std::vector<Vec> expected;
    for (std::size_t f = 0; f < frames; ++f) {
        const auto from = signal.begin() + static_cast<std::ptrdiff_t>(f * hop);
        expected.push_back(reference(fb, Vec(from, from + static_cast<std::ptrdiff_t>(n))));
    }
    // Rotations computed, looked up for the whole frame (and beyond), for part
    // of it, or for none of it.
    std::vector<vorl::detail::RotationTable> tables;
    for (std::size_t length : {n + 3, n, n / 2, std::size_t(1), std::size_t(0)}) {
        tables.push_back(vorl::detail::make_rotation_table(fb.filters.data(), count,
                                                                      length));
    }
    for (const Kernel& k : kernels_of_this_cpu()) {
        for (std::size_t t = 0; t <= tables.size(); ++t) {
            const auto* table = t < tables.size() ? &tables[t] : nullptr;
            // Rows with a sentinel tail: padding lanes must not be written.
            Vec out(frames * stride, -7.0);
            // Start optimistic, as a thread that has not met silence yet does.
            vorl::detail::thread_optimism() = {};
            k.run(fb.filters.data(), count, fb.decay, signal.data(), hop, frames, n, out.data(),
                  stride, table);
            const std::string where = std::string(k.name) + ", table of " +
                                      (table ? std::to_string(table->length) : "none");
            for (std::size_t f = 0; f < frames; ++f) {
                for (std::size_t i = 0; i < stride; ++i) {
                    const double value = out[f * stride + i];
                    if (i < count) {
                        EXPECT_PRED2(same, value, expected[f][i])
                            << where << ", frame " << f << ", filter " << i;
                    } else {
                        EXPECT_EQ(value, -7.0) << where << ", frame " << f;
                    }
                }
            }
        }
    }
    Vec via_compute(count);
    fb.compute(Vec(signal.begin(), signal.begin() + static_cast<std::ptrdiff_t>(n)), via_compute);
    for (std::size_t i = 0; i < count; ++i) EXPECT_PRED2(same, via_compute[i], expected[0][i]);
    // compute_frames: every frame in one call, rows as compute writes them.
    Vec rows(frames * count);
    fb.compute_frames(signal.data(), hop, frames, n, rows.data(), count);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_PRED2(same, rows[f * count + i], expected[f][i]) << "frame " << f;
        }
    }
}

// Filter counts on both sides of every group size (pairs of 2, 4 or 8 lanes).
INSTANTIATE_TEST_SUITE_P(
    Frames, Lanes,
    ::testing::Combine(::testing::Values(1, 3, 4, 5, 8, 9, 16, 17, 33, 64, 65),
                       ::testing::Values(0.0, 0.008),
                       ::testing::Values("random", "tiny", "subnormal", "inf", "nan", "zeros",
                                         "silence"),
                       ::testing::Values(1000)));
INSTANTIATE_TEST_SUITE_P(ShortAndOddFrames, Lanes,
                         ::testing::Combine(::testing::Values(3, 17), ::testing::Values(0.0, 0.008),
                                            ::testing::Values("random"),
                                            ::testing::Values(0, 1, 2, 7, 1001)));

TEST(Optimism, SilenceTurnsAThreadToTheFlushUntilSoundReturns) {
    // Digital silence flushes at every sample: blocks run with the flush for
    // longer after each failure, and sound that passes makes the thread
    // optimistic again. (Speed only: the bits are checked above.)
    const Filterbank fb = bank(16, 0.0, 20, 20000, 48000, 4096);
    const Kernel& k = vorl::detail::best_gammatone_kernel<Filter>().rotating;
    vorl::detail::Optimism& optimism = vorl::detail::thread_optimism();
    optimism = {};
    Vec out(16);
    const Vec silence(4096, 0.0), sound = frame_of("random", 4096);
    k.run(fb.filters.data(), 16, fb.decay, silence.data(), 0, 1, silence.size(), out.data(), 16,
          nullptr);
    EXPECT_GT(optimism.penalty, 2);
    for (int i = 0; i < 3; ++i) {
        k.run(fb.filters.data(), 16, fb.decay, sound.data(), 0, 1, sound.size(), out.data(), 16,
              nullptr);
    }
    EXPECT_EQ(optimism.penalty, 1);
    EXPECT_EQ(optimism.exact, 0);
}

TEST(HistoryRings, KeepTheOlderHistoryAsTheStateDoesFromEveryPhase) {
    // Entered at each phase of t % 4, run for a few samples and left: the
    // outputs and the whole history match the state's own fields, as a block
    // of a kernel that starts anywhere and ends anywhere needs.
    namespace d = vorl::detail;
    using Math = d::ScalarMath<double>;
    const Filterbank fb = bank(8);
    const Filter& f = fb.filters[5];
    const d::GammatoneCoefficients<double> c{f.a[0], f.a[1], f.a[2], f.a[3], f.a[4],
                                             f.gain,  f.coscf, f.sincf};
    const Vec x = vorl_test::noise(32, 5);
    for (std::size_t start = 0; start < 4; ++start) {
        for (std::size_t count : {0, 1, 2, 3, 4, 7}) {
            d::GammatoneState<double> fields, ringed[1];
            d::start_at_rest(fields, 0.0);
            for (std::size_t t = 0; t < 6; ++t) d::filter_stages<Math>(fields, c, x[t], 0.6, -0.8);
            ringed[0] = fields;
            d::HistoryRings<double, 1> rings;
            rings.enter(ringed, start);
            for (std::size_t i = 0; i < count; ++i) {
                const double s = x[6 + i], qc = x[20 + i], qs = x[26 - i];
                const auto a = d::filter_stages<Math>(fields, c, s, qc, qs);
                const auto b = d::filter_stages<Math>(ringed[0], c, s, qc, qs,
                                                      rings.at(0, start + i));
                EXPECT_TRUE(same(a.ur, b.ur) && same(a.ui, b.ui)) << start << " " << i;
            }
            rings.leave(ringed, start + count);
            const double want[] = {fields.p1r, fields.p2r, fields.p3r, fields.p4r,
                                   fields.p1i, fields.p2i, fields.p3i, fields.p4i};
            const double got[] = {ringed[0].p1r, ringed[0].p2r, ringed[0].p3r, ringed[0].p4r,
                                  ringed[0].p1i, ringed[0].p2i, ringed[0].p3i, ringed[0].p4i};
            for (int h = 0; h < 8; ++h) {
                EXPECT_TRUE(same(want[h], got[h])) << start << " " << count << " " << h;
            }
        }
    }
}

TEST(RotationTable, IsBoundedAndTheExtractorStillMatchesBeyondIt) {
    using vorl::detail::max_rotation_table_bytes;
    using vorl::detail::rotation_table_length;
    EXPECT_EQ(rotation_table_length(64, 1024), 1024u);  // the default bank: whole frames
    EXPECT_EQ(rotation_table_length(0, 1024), 0u);
    // Rows of 1 MiB and more leave no room for a sample and its continuation: no table.
    for (const std::size_t wide : {65537u, 131072u, 131073u, 1u << 20}) {
        EXPECT_EQ(rotation_table_length(wide, 32), 0u) << wide;
    }
    EXPECT_EQ(rotation_table_length(65536, 32), 1u);  // rows of 1 MiB: one sample fits
    // 256 filters, 4 KiB a row: the bound leaves 511 samples of a longer frame.
    const std::size_t count = 256, n = 1500, length = rotation_table_length(count, n);
    EXPECT_EQ(length, max_rotation_table_bytes / 4096 - 1);
    ASSERT_LT(length, n);
    const auto table = vorl::detail::make_rotation_table(
        bank(count).filters.data(), count, length);
    EXPECT_LE(table.values.size() * sizeof(double), max_rotation_table_bytes);

    const Filterbank fb = bank(count, 0.008, 50, 8000, 44100, n);
    const Vec frame = frame_of("random", n), expected = reference(fb, frame);
    Vec out(count);
    fb.compute(frame, out);
    for (std::size_t i = 0; i < count; ++i) EXPECT_PRED2(same, out[i], expected[i]) << i;
}

TEST(GammatoneKernels, TheChosenKernelsAreVariantsOfTheWidestInstructionSet) {
    const auto kernels = kernels_of_this_cpu();
    ASSERT_FALSE(kernels.empty());
    const auto& chosen = vorl::detail::best_gammatone_kernel<Filter>();
    // Each use's kernel is a variant of the widest set this CPU runs.
    for (const Kernel* use : {&chosen.rotating, &chosen.looked_up, &chosen.continuous}) {
        EXPECT_EQ(use->isa, kernels[0].isa) << use->name;
        EXPECT_TRUE(std::any_of(kernels.begin(), kernels.end(), [&](const Kernel& k) {
            return k.run == use->run && k.run_continuous == use->run_continuous;
        })) << use->name;
    }
    EXPECT_EQ(chosen.width(), kernels[0].width);
}

TEST(GammatoneKernels, MeasuringChoosesAVariantOfTheChosenSetForEachUse) {
    const auto measured = vorl::detail::choose_gammatone_kernel<Filter>(false);
    for (const Kernel* use : {&measured.rotating, &measured.looked_up, &measured.continuous}) {
        EXPECT_EQ(use->isa, vorl::simd::chosen_isa()) << use->name;
        const Kernel* named = vorl::detail::gammatone_kernel_named<Filter>(use->name);
        ASSERT_NE(named, nullptr) << use->name;
        EXPECT_EQ(named->run, use->run) << use->name;
    }
}

TEST(GammatoneKernels, KnownCpusNameVariantsOfOneInstructionSet) {
    for (const auto& cpu : vorl::detail::known_cpus) {
#if defined(__x86_64__) || defined(__i386__)
        const Kernel* uses[] = {vorl::detail::gammatone_kernel_named<Filter>(cpu.rotating),
                                vorl::detail::gammatone_kernel_named<Filter>(cpu.looked_up),
                                vorl::detail::gammatone_kernel_named<Filter>(cpu.continuous)};
        for (const Kernel* use : uses) ASSERT_NE(use, nullptr) << cpu.vendor << " " << cpu.model;
        EXPECT_EQ(uses[0]->isa, uses[1]->isa);
        EXPECT_EQ(uses[0]->isa, uses[2]->isa);
        // The continuous kernel serves one frame at a time: a variant of one frame.
        EXPECT_EQ(uses[2]->frames, 1) << cpu.continuous;
#else
        // x86 models: no variant of this architecture is named, so none is taken.
        EXPECT_EQ(vorl::detail::gammatone_kernel_named<Filter>(cpu.rotating), nullptr);
#endif
    }
#if defined(__x86_64__) || defined(__i386__)
    const auto cpu = vorl::simd::cpu_model();
    EXPECT_EQ(cpu.vendor.size(), 12u);
    EXPECT_GT(cpu.family, 0u);
#else
    EXPECT_TRUE(vorl::simd::cpu_model().vendor.empty());
#endif
}

TEST(GammatoneKernels, AForcedVariantServesEveryUse) {
    // VORL_KERNEL names the instruction set once per process; its variant is
    // read at every choice, so each variant of that set can be forced here.
    const auto kernels = kernels_of_this_cpu();
    const char* before = std::getenv("VORL_KERNEL");
    const std::string saved = before != nullptr ? before : "";
    const std::string isa = vorl::simd::isas[vorl::simd::chosen_isa()].name;
    for (const Kernel& k : kernels) {
        if (k.isa != vorl::simd::chosen_isa()) continue;
        const std::string name = k.name;
        ::setenv("VORL_KERNEL", (isa + name.substr(name.find('/'))).c_str(), 1);
        const auto chosen = vorl::detail::choose_gammatone_kernel<Filter>();
        for (const Kernel* use : {&chosen.rotating, &chosen.looked_up, &chosen.continuous}) {
            EXPECT_EQ(use->run, k.run) << name;
            EXPECT_EQ(use->run_continuous, k.run_continuous) << name;
        }
    }
    ::setenv("VORL_KERNEL", (isa + "/k7").c_str(), 1);
    EXPECT_THROW(vorl::detail::choose_gammatone_kernel<Filter>(), std::runtime_error);
    if (before != nullptr) {
        ::setenv("VORL_KERNEL", saved.c_str(), 1);
    } else {
        ::unsetenv("VORL_KERNEL");
    }
}

TEST(GammatoneCompute, ShortOutputIsRejectedUntouched) {
    const Filterbank fb = bank(8);
    Vec out(5, 1.5);
    try {
        fb(Vec(1024, 0.1), out);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Output vector must hold at least 8 values. Instead it holds 5.");
    }
    EXPECT_EQ(out, Vec(5, 1.5));
}

TEST(GammatoneCompute, LongerOutputKeepsItsTail) {
    const Filterbank fb = bank(2);
    Vec out{0, 0, 3.5};
    fb.compute(Vec(1024, 0.0), out);
    EXPECT_EQ(out, (Vec{0, 0, 3.5}));  // an all-zero frame gives exactly zero
}

TEST(GammatoneCompute, EmptyFrameGivesNaN) {
    const Filterbank fb = bank(5, 0, 50, 8000, 44100, 0);
    for (double v : fb.extract(Vec{})) EXPECT_TRUE(std::isnan(v));
}

TEST(GammatoneCompute, OneSampleFrame) {
    for (double integration : {0.0, 0.002}) {
        const Filterbank fb = bank(6, integration, 50, 8000, 44100, 1);
        for (double x : {-0.75, 2.0, 1e-39}) {
            const Vec f = fb.extract(Vec{x});
            for (std::size_t i = 0; i < f.size(); ++i) {
                const double env = std::fabs(x) < 1.1754943508222875e-38 ? 0.0 : std::fabs(x);
                EXPECT_DOUBLE_EQ(f[i], (1 - fb.decay) * fb.filters[i].gain * env);
            }
        }
    }
}

TEST(GammatoneDesign, DecayFromIntegrationTime) {
    EXPECT_EQ(bank(4, 0.0).decay, 0.0);
    EXPECT_DOUBLE_EQ(bank(4, 0.01).decay, std::exp(-1.0 / 441.0));
    EXPECT_GT(bank(4, -0.01).decay, 1.0);  // accepted, not rejected
}

TEST(GammatoneDesign, InvalidRanges) {
    for (std::size_t count : {0, 1, 2, 64}) {
        EXPECT_THROW(bank(count, 0, 1000, 1000), std::invalid_argument) << count;
        EXPECT_THROW(bank(count, 0, 8000, 50), std::invalid_argument) << count;
    }
    EXPECT_TRUE(bank(0).filters.empty());
    const double nan = std::nan("");
    EXPECT_NO_THROW(bank(3, 0, nan, 8000));  // a NaN spacing fails no comparison
}

TEST(GammatoneDesign, TwoFiltersSitAtTheEnds) {
    const Filterbank fb = bank(2, 0, 100, 5000);
    EXPECT_NEAR(fb.filters[0].cf, 100, 1e-9);
    EXPECT_NEAR(fb.filters[1].cf, 5000, 1e-9);
}

TEST(GammatoneDesign, OneFilterSitsAtTheErbRateMidpoint) {
    using vorl::extractor::ERB_rate_to_Hz;
    using vorl::extractor::Hz_to_ERB_rate;
    const Filterbank fb = bank(1, 0, 100, 5000);
    ASSERT_EQ(fb.filters.size(), 1u);
    const double mid = (Hz_to_ERB_rate(100.0) + Hz_to_ERB_rate(5000.0)) / 2;
    EXPECT_NEAR(fb.filters[0].cf, ERB_rate_to_Hz(mid), 1e-9);
    const Vec f = fb.extract(frame_of("random", 1024));
    EXPECT_TRUE(std::isfinite(f[0]) && f[0] > 0);
}

TEST(GammatoneDesign, ErbRateRoundTrip) {
    using vorl::extractor::ERB_rate_to_Hz;
    using vorl::extractor::Hz_to_ERB_rate;
    for (double f : {20.0, 50.0, 1000.0, 8000.0, 20000.0})
        EXPECT_NEAR(ERB_rate_to_Hz(Hz_to_ERB_rate(f)), f, f * 1e-13);
    EXPECT_NEAR(Hz_to_ERB_rate(1000.0), 15.62, 0.01);  // the classic ERB-number of 1 kHz
}

}  // namespace

namespace {
template <int W>
void expect_lane_flush_is_scalar_flush(const Vec& values) {
    using vorl::detail::Lanes;
    using Math = vorl::detail::LaneMath<W>;
    using Scalar = vorl::detail::ScalarMath<double>;
    for (const double v : values) {
        typename Lanes<W>::Vec lanes = {};
        lanes += v;
        const auto flushed = Math::flush(lanes);
        for (int l = 0; l < W; ++l) EXPECT_PRED2(same, flushed[l], Scalar::flush(v)) << v;
    }
}
}  // namespace

TEST(LaneFlush, IsTheScalarFlushAroundTheThreshold) {
    const double thr = vorl::detail::flush_threshold;
    const double inf = std::numeric_limits<double>::infinity();
    Vec values{0.0, -0.0, 1.0, -1.0, inf, -inf, std::nan(""), -std::nan(""),
               std::numeric_limits<double>::denorm_min()};
    for (const double t : {thr, -thr}) {
        values.insert(values.end(), {t, std::nextafter(t, 0.0), std::nextafter(t, 2 * t)});
    }
    expect_lane_flush_is_scalar_flush<2>(values);
    expect_lane_flush_is_scalar_flush<4>(values);
    expect_lane_flush_is_scalar_flush<8>(values);
}

TEST(GammatoneOnAnotherChannel, EqualsTheFilterbankMadeForThatChannel) {
    const std::size_t n = 300;
    Eigen::MatrixXd stereo(2, n);
    const Vec left = frame_of("random", n);
    for (std::size_t t = 0; t < n; ++t) {
        stereo(0, t) = left[t];
        stereo(1, t) = 0.5 * left[(t * 7) % n];
    }
    for (const bool look_up : {true, false}) {
        const Filterbank first(n, 44100, identity, 0, bank(17).filters, 0.99, look_up);
        for (const std::int32_t channel : {-1, 1}) {
            const Filterbank made(n, 44100, identity, channel, bank(17).filters, 0.99, look_up);
            const Filterbank copied(first, channel);
            EXPECT_EQ(copied.on_channel, channel);
            const Vec expected = made(Filterbank::MatrixView(stereo));
            const Vec got = copied(Filterbank::MatrixView(stereo));
            for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_PRED2(same, got[i], expected[i]);
        }
    }
}
