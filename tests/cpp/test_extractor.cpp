#include <vorl/extractor/extractor.hpp>

#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Extractor = vorl::extractor::Extractor<double>;
using Vec = std::vector<double>;

using vorl_test::identity;

// Records every frame it receives and writes `values` into the first outputs.
class Recorder : public Extractor {
public:
    Recorder(std::size_t num_samples, std::size_t num_features, std::int32_t on_channel = -1,
             const Transform& transform = identity)
        : Extractor(num_samples, num_features, 44100, transform, on_channel) {}

    void compute(const Frame& input, Features& output) const override {
        frames.push_back(input);
        outputs_seen.push_back(output);
        for (std::size_t i = 0; i < values.size() && i < output.size(); ++i) output[i] = values[i];
    }

    Vec values;
    mutable std::vector<Vec> frames;
    mutable std::vector<Vec> outputs_seen;
};

std::string message_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<no std::invalid_argument>";
}

TEST(Extractor, ExtractChecksLengthBeforeCompute) {
    Recorder r(1024, 4);
    EXPECT_EQ(message_of([&] { r.extract(Vec(512, 1.0)); }),
              "Input signal must be of length 1024. Instead it is of length 512.");
    EXPECT_TRUE(r.frames.empty());
}

TEST(Extractor, ExtractHandsComputeZerosAndSkipsTransform) {
    const Extractor::Transform plus_100 = [](double x) { return x + 100; };
    Recorder r(3, 3, -1, plus_100);
    r.values = {7, 8};
    EXPECT_EQ(r.extract({1, 2, 3}), (Vec{7, 8, 0}));
    ASSERT_EQ(r.outputs_seen.size(), 1u);
    EXPECT_EQ(r.outputs_seen[0], (Vec{0, 0, 0}));
    EXPECT_EQ(r.frames[0], (Vec{1, 2, 3}));
}

TEST(Extractor, TransformAppliedOncePerFeatureInOrder) {
    std::vector<double> seen;
    const Extractor::Transform twice = [&seen](double x) { seen.push_back(x); return 2 * x; };
    Recorder r(2, 2, -1, twice);
    r.values = {1, 2};
    EXPECT_EQ(r(Vec{0.5, 0.5}), (Vec{2, 4}));
    EXPECT_EQ(seen, (Vec{1, 2}));
}

TEST(Extractor, ZeroSamplesAndZeroFeatures) {
    Recorder r(0, 0, -1, nullptr);  // empty transform is never invoked without features
    EXPECT_EQ(r(Vec{}), Vec{});
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0].empty());
}

TEST(Extractor, EmptyTransformFailsOnFirstFeature) {
    Recorder r(1, 2, -1, nullptr);
    r.values = {5, 6};
    EXPECT_THROW(r(Vec{1.0}), std::bad_function_call);
    Vec out{9, 9};
    EXPECT_THROW(r(Vec{1.0}, out), std::bad_function_call);
    EXPECT_EQ(out, (Vec{5, 6}));  // computed, but not a single value transformed
}

TEST(Extractor, CallIntoOutputChecksNothingAndTransformsEveryElement) {
    const Extractor::Transform times_10 = [](double x) { return x * 10; };
    Recorder r(4, 3, -1, times_10);
    r.values = {1};
    Vec out{2, 3, 4};
    r(Vec{1, 2}, out);  // wrong length on purpose
    EXPECT_EQ(r.frames.at(0), (Vec{1, 2}));
    EXPECT_EQ(r.outputs_seen.at(0), (Vec{2, 3, 4}));
    EXPECT_EQ(out, (Vec{10, 30, 40}));
}

TEST(Extractor, SingleChannelReadsOneRow) {
    Recorder r(4, 1, 1);
    Eigen::MatrixXd m(3, 4);
    m << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12;
    r(Extractor::MatrixView(m));
    EXPECT_EQ(r.frames.at(0), (Vec{5, 6, 7, 8}));
}

TEST(Extractor, SingleChannelFollowsOuterStride) {
    Recorder r(3, 1, 0);
    Eigen::MatrixXd big(4, 3);
    big << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12;
    const Extractor::MatrixView block = big.block(2, 0, 2, 3);  // rows 2..3: stride 4
    ASSERT_EQ(block.outerStride(), 4);
    r(block);
    EXPECT_EQ(r.frames.at(0), (Vec{7, 8, 9}));
}

class Averaging : public ::testing::TestWithParam<int> {};

TEST_P(Averaging, AnyNegativeChannelAverages) {
    Recorder r(3, 1, GetParam());
    Eigen::MatrixXd m(2, 3);
    m << 1, 2, 3, 3, 4, 5;
    r(Extractor::MatrixView(m));
    EXPECT_EQ(r.frames.at(0), (Vec{2, 3, 4}));
}
INSTANTIATE_TEST_SUITE_P(NegativeChannels, Averaging, ::testing::Values(-1, -2, -1000));

TEST(Extractor, AveragingStridedBlock) {
    Recorder r(2, 1, -1);
    Eigen::MatrixXd big(3, 2);
    big << 1, 10, 3, 30, 100, 100;
    r(Extractor::MatrixView(big.topRows(2)));
    EXPECT_EQ(r.frames.at(0), (Vec{2, 20}));
}

// A frame at an odd byte offset (a NumPy view into a byte buffer) reads the
// same samples; under UBSan a misaligned load would stop the test.
class Unaligned : public ::testing::TestWithParam<int> {};

TEST_P(Unaligned, SelectsAndAveragesLikeAnAlignedCopy) {
    const Vec samples{1, 2, 3, 4, 5, 6};  // column-major 2 x 3
    std::vector<unsigned char> bytes(sizeof(double) * samples.size() + 1);
    std::memcpy(bytes.data() + 1, samples.data(), sizeof(double) * samples.size());
    const auto* odd = reinterpret_cast<const double*>(bytes.data() + 1);
    const Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> view(odd, 2, 3,
                                                                          Eigen::OuterStride<>(2));
    const Eigen::Map<const Eigen::MatrixXd> aligned(samples.data(), 2, 3);
    Recorder a(3, 1, GetParam()), b(3, 1, GetParam());
    a(Extractor::MatrixView(view));
    b(Extractor::MatrixView(aligned));
    EXPECT_EQ(a.frames.at(0), b.frames.at(0));
}
INSTANTIATE_TEST_SUITE_P(Channels, Unaligned, ::testing::Values(-1, 0, 1));

TEST(Extractor, AveragingNoRowsGivesNaN) {
    Recorder r(5, 1, -1);
    Eigen::MatrixXd m(0, 5);
    r(Extractor::MatrixView(m));
    ASSERT_EQ(r.frames.at(0).size(), 5u);
    for (double x : r.frames[0]) EXPECT_TRUE(std::isnan(x));
}

TEST(Extractor, MatrixLengthCheckCountsColumns) {
    Recorder r(6, 1, -1);
    Eigen::MatrixXd m = Eigen::MatrixXd::Ones(6, 2);  // one row per sample: wrong layout
    EXPECT_EQ(message_of([&] { r(Extractor::MatrixView(m)); }),
              "Input signal must be of length 6. Instead it is of length 2.");
    EXPECT_TRUE(r.frames.empty());
}

TEST(Extractor, MissingChannelIsRejected) {
    Eigen::MatrixXd m = Eigen::MatrixXd::Ones(2, 3);
    for (int channel : {2, 7}) {
        Recorder r(3, 1, channel);
        EXPECT_EQ(message_of([&] { r(Extractor::MatrixView(m)); }),
                  "Cannot select channel " + std::to_string(channel) +
                      ": the input has 2 channel(s).");
        EXPECT_TRUE(r.frames.empty());
    }
    Recorder none(3, 1, 0);
    Eigen::MatrixXd empty(0, 3);
    EXPECT_THROW(none(Extractor::MatrixView(empty)), std::invalid_argument);
}

}  // namespace
