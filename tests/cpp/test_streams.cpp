// Every stream of the core: chunked pushes give one push's bits, on any
// threads; a push that fails or is stopped changes nothing; one push at a time.
#include <vorl/vorl.hpp>

#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using Vec = std::vector<double>;

using vorl_test::noise;

bool same_bits(const Vec& a, const Vec& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

/** Planar (channels, samples) signal, and its chunk [t0, t1) as a planar copy. */
struct Planar {
    std::size_t channels, samples;
    Vec values;
    vorl::SignalView view() const { return vorl::SignalView::planar(values.data(), channels, samples); }
    vorl::SignalView chunk(std::size_t t0, std::size_t t1) const { return view().samples_from(t0, t1 - t0); }
};

const std::vector<std::size_t> cuts = {0, 1, 700, 701, 5000, 90000, 120000};

vorl::Bank bank() { return vorl::Bank::on_erb_scale(16000, 20, 80.0, 7000.0, 1.019, 0.01); }

struct StreamCase {
    vorl::ContinuousStream::What what;
    std::optional<std::int32_t> channel;
};

class ContinuousStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ContinuousStreams, ChunksOnAnyThreadsGiveOnePushsBits) {
    const Planar signal{2, cuts.back(), noise(2 * cuts.back(), 1)};
    const auto make = [&](std::size_t threads) {
        return vorl::ContinuousStream(bank(), GetParam().what, 400, 160, GetParam().channel,
                                      vorl::Level{true, 1e-10}, threads);
    };
    const vorl::Array whole = make(1).push(signal.view());
    for (const std::size_t threads : {1, 3}) {
        vorl::ContinuousStream stream = make(threads);
        Vec joined;
        std::vector<Vec> per_plane(GetParam().channel ? 1 : 2);
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            const vorl::Array part = stream.push(signal.chunk(cuts[i], cuts[i + 1]));
            const std::size_t planes = per_plane.size();
            const std::size_t each = part.values.size() / planes;
            for (std::size_t p = 0; p < planes; ++p) {
                per_plane[p].insert(per_plane[p].end(), part.values.begin() + p * each,
                                    part.values.begin() + (p + 1) * each);
            }
        }
        for (const Vec& plane : per_plane) joined.insert(joined.end(), plane.begin(), plane.end());
        EXPECT_TRUE(same_bits(joined, whole.values)) << threads << " threads";
        EXPECT_EQ(stream.samples_seen(), cuts.back());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ContinuousStreams,
    ::testing::Values(StreamCase{vorl::ContinuousStream::What::rows, 0},
                      StreamCase{vorl::ContinuousStream::What::rows, std::nullopt},
                      StreamCase{vorl::ContinuousStream::What::rows, -1},
                      StreamCase{vorl::ContinuousStream::What::envelopes, 1},
                      StreamCase{vorl::ContinuousStream::What::analytic, std::nullopt}));

TEST(ContinuousStream, AFailedOrStoppedPushChangesNothing) {
    const Planar signal{1, 1 << 20, noise(1 << 20, 2)};
    const auto make = [] {
        return vorl::ContinuousStream(bank(), vorl::ContinuousStream::What::rows, 400, 160, 0,
                                      vorl::Level{}, 2);
    };
    const vorl::Array whole = make().push(signal.view());
    vorl::ContinuousStream stream = make();
    vorl::Array first = stream.push(signal.chunk(0, 1000));
    // Refused where the result would go, then stopped by its first poll.
    EXPECT_THROW(stream.push(signal.chunk(1000, signal.samples),
                             [](const std::vector<std::size_t>&) -> double* {
                                 throw std::bad_alloc();
                             }),
                 std::bad_alloc);
    vorl::Array rest;
    EXPECT_THROW(stream.push(signal.chunk(1000, signal.samples), rest.allocator(),
                             [] { throw std::runtime_error("stop"); }),
                 std::runtime_error);
    EXPECT_EQ(stream.samples_seen(), 1000u);
    rest = stream.push(signal.chunk(1000, signal.samples));
    first.values.insert(first.values.end(), rest.values.begin(), rest.values.end());
    EXPECT_TRUE(same_bits(first.values, whole.values));
}

TEST(ContinuousStream, APushWhileAnotherRunsIsRefused) {
    // Long enough (about 20 ms on two threads) that the 2 ms polls come even
    // when a thread starts late.
    const Planar signal{1, 1 << 20, noise(1 << 20, 3)};
    vorl::ContinuousStream stream(bank(), vorl::ContinuousStream::What::rows, 400, 160, 0,
                                  vorl::Level{}, 2);
    bool refused = false;
    vorl::Array rows;
    // The poll runs on the pushing thread while the workers run: push from there.
    stream.push(signal.view(), rows.allocator(), [&] {
        if (refused) return;
        try {
            stream.push(signal.chunk(0, 10));
        } catch (const std::runtime_error& e) {
            refused = std::string(e.what()).find("another push") != std::string::npos;
        }
    });
    EXPECT_TRUE(refused);
    EXPECT_EQ(stream.samples_seen(), signal.samples);
}

TEST(FramedStream, ChunksGiveTheAnalysisBitsAndAStoppedPushChangesNothing) {
    const Planar planar{2, 30000, noise(60000, 4)};
    // The framed analysis reads (channels, samples) column-major.
    vorl::FramedAnalysis::Filterbank::Matrix signal(2, 30000);
    for (std::size_t c = 0; c < 2; ++c)
        for (std::size_t t = 0; t < 30000; ++t) signal(c, t) = planar.values[c * 30000 + t];
    for (const auto& [hop, first] : std::vector<std::pair<std::size_t, std::size_t>>{
             {160, 3}, {1000, 3}, {160, 5000}}) {
        const vorl::FramedAnalysis analysis(bank(), 400, hop, std::nullopt, vorl::Level{}, 2);
        const vorl::Array whole = analysis(signal);
        vorl::FramedStream stream(analysis);
        std::vector<Vec> planes(2);
        std::size_t t = 0;
        for (const std::size_t n : {first, std::size_t(397), std::size_t(1), std::size_t(5000),
                                    std::size_t(0), 30000 - first - 5398}) {
            const auto chunk = signal.middleCols(t, n);
            EXPECT_THROW(stream.push(chunk, [](const std::vector<std::size_t>&) -> double* {
                throw std::bad_alloc();
            }),
                         std::bad_alloc);
            const vorl::Array part = stream.push(chunk);
            const std::size_t each = part.values.size() / 2;
            for (std::size_t p = 0; p < 2; ++p) {
                planes[p].insert(planes[p].end(), part.values.begin() + p * each,
                                 part.values.begin() + (p + 1) * each);
            }
            t += n;
        }
        Vec joined = planes[0];
        joined.insert(joined.end(), planes[1].begin(), planes[1].end());
        EXPECT_TRUE(same_bits(joined, whole.values)) << hop << " " << first;
    }
}

TEST(Resynthesis, EqualsTheSynthesisOfTheAnalyticStreamAndChunksAgree) {
    const std::size_t n = 40000;
    const Planar signal{2, n, noise(2 * n, 5)};
    const vorl::Bank b = bank();
    const std::size_t m = b.filters.size();
    Vec re = noise(m, 6), im = noise(m, 7);
    std::vector<std::size_t> delays(m);
    for (std::size_t k = 0; k < m; ++k) delays[k] = (k * 7) % 50;
    // Analytic bands of every channel, then their synthesis, plane by plane.
    vorl::ContinuousStream analytic(b, vorl::ContinuousStream::What::analytic, 1, 1,
                                    std::nullopt, vorl::Level{}, 1);
    const vorl::Array bands = analytic.push(signal.view());
    vorl::SynthesisStream synthesis(re, im, delays, 2);
    Vec expected(2 * n);
    synthesis.push(bands.values.data(), 2, nullptr, n, expected.data());

    vorl::Resynthesis resynthesis(b, std::nullopt, re, im, delays, 2);
    std::vector<Vec> planes(2);
    for (std::size_t i = 0; i + 1 < cuts.size() && cuts[i] < n; ++i) {
        const std::size_t hi = std::min(n, cuts[i + 1]);
        const vorl::Array part = resynthesis.push(signal.chunk(cuts[i], hi));
        const std::size_t each = part.values.size() / 2;
        for (std::size_t p = 0; p < 2; ++p) {
            planes[p].insert(planes[p].end(), part.values.begin() + p * each,
                             part.values.begin() + (p + 1) * each);
        }
    }
    Vec joined = planes[0];
    joined.insert(joined.end(), planes[1].begin(), planes[1].end());
    EXPECT_TRUE(same_bits(joined, expected));
}

TEST(SynthesisStream, ChunksOnAnyThreadsGiveOnePushsBitsAndAStoppedPushChangesNothing) {
    const std::size_t m = 12, n = 100000;
    const Vec re = noise(m, 8), im = noise(m, 9), z = noise(2 * m * n, 10), w = noise(m * n, 11);
    std::vector<std::size_t> delays(m);
    for (std::size_t k = 0; k < m; ++k) delays[k] = k * 13;
    const Vec whole = vorl::SynthesisStream(re, im, delays, 1).push(z.data(), w.data(), n);
    for (const std::size_t threads : {1, 4}) {
        vorl::SynthesisStream stream(re, im, delays, threads);
        Vec joined;
        std::size_t t0 = 0;
        for (const std::size_t t1 : {5, 20000, 20001, 100000}) {
            // Stopped at its first poll, if the push lasts until one: then pushed again.
            Vec part(t1 - t0);
            try {
                stream.push(z.data() + 2 * m * t0, 1, w.data() + m * t0, t1 - t0, part.data(),
                            [] { throw std::runtime_error("stop"); });
            } catch (const std::runtime_error&) {
                part = stream.push(z.data() + 2 * m * t0, w.data() + m * t0, t1 - t0);
            }
            joined.insert(joined.end(), part.begin(), part.end());
            t0 = t1;
        }
        EXPECT_TRUE(same_bits(joined, whole)) << threads << " threads";
    }
}

}  // namespace
