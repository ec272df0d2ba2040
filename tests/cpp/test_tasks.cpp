// What every stream stands on: the threads and their stops, the push guard,
// how a signal's channels become planes, and the banks.
#include <vorl/vorl.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(RunTasks, EveryTaskRunsOnceOnAnyThreads) {
    for (const std::size_t threads : {1, 2, 7}) {
        std::vector<std::atomic<int>> runs(100);
        vorl::run_tasks(runs.size(), threads,
                        [&](std::size_t task, const std::atomic<bool>&) { ++runs[task]; });
        for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << threads << " threads";
    }
    EXPECT_THROW(vorl::run_tasks(1, 0, [](std::size_t, const std::atomic<bool>&) {}),
                 std::invalid_argument);
}

TEST(RunTasks, AFailureStopsTheOthersAndIsRethrownOnceAllHaveEnded) {
    // The other tasks take 200 us each: all of them would take 100 ms, so the
    // thread that throws would have to stall that long to let them all start.
    std::atomic<int> started{0};
    EXPECT_THROW(vorl::run_tasks(1000, 2,
                                 [&](std::size_t task, const std::atomic<bool>&) {
                                     ++started;
                                     if (task == 3) throw std::domain_error("task 3");
                                     std::this_thread::sleep_for(std::chrono::microseconds(200));
                                 }),
                 std::domain_error);
    EXPECT_LT(started.load(), 1000);  // the rest were not taken
}

TEST(RunTasks, AThrowingPollSetsStopForLongTasks) {
    // The poll throws only once the task runs: a stop set before a worker
    // takes its first task ends the run without starting it.
    std::atomic<bool> started{false};
    std::atomic<bool> saw_stop{false};
    EXPECT_THROW(vorl::run_tasks(
                     1, 1,
                     [&](std::size_t, const std::atomic<bool>& stop) {
                         started = true;
                         const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                         while (!stop && std::chrono::steady_clock::now() < end) {
                             std::this_thread::sleep_for(std::chrono::microseconds(100));
                         }
                         saw_stop = stop.load();
                     },
                     [&] {
                         if (started) throw std::runtime_error("stop");
                     }),
                 std::runtime_error);
    EXPECT_TRUE(saw_stop.load());
}

TEST(PushGuard, RefusesAPushWhileOneRunsAndCommitsOnlyOnSuccess) {
    vorl::PushGuard guard;
    int committed = 0;
    EXPECT_THROW(guard.push([]() -> int { throw std::bad_alloc(); },
                            [&](int) { ++committed; }),
                 std::bad_alloc);
    EXPECT_EQ(committed, 0);
    const int got = guard.push(
        [&] {
            EXPECT_THROW(guard.push([] { return 0; }, [](int) {}), std::runtime_error);
            return 7;
        },
        [&](int v) { committed += v; });
    EXPECT_EQ(got, 7);
    EXPECT_EQ(committed, 7);
    EXPECT_EQ(guard.push([] { return 1; }, [](int) {}), 1);  // free again
}

TEST(SignalView, ReadsAChannelOrTheMeanAtAnyStrides) {
    // (channels=2, samples=3) stored sample-major: strides 8 and 16 bytes.
    const std::vector<double> interleaved = {1, 10, 2, 20, 3, 30};
    const vorl::SignalView view{reinterpret_cast<const char*>(interleaved.data()), 8, 16, 2, 3};
    double out[3];
    view.read(vorl::Planes(1, 2), 0, 0, 3, out);
    EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{10, 20, 30}));
    view.read(vorl::Planes(-1, 2), 0, 1, 2, out);
    EXPECT_EQ(std::vector<double>(out, out + 2), (std::vector<double>{11, 16.5}));
    // The same channels one after the other (contiguous samples, copied whole),
    // and one channel alone, whose mean is itself; reading nothing writes nothing.
    const std::vector<double> planar = {1, 2, 3, 10, 20, 30};
    const auto two = vorl::SignalView::planar(planar.data(), 2, 3);
    two.read(vorl::Planes(1, 2), 0, 1, 2, out);
    EXPECT_EQ(std::vector<double>(out, out + 2), (std::vector<double>{20, 30}));
    two.read(vorl::Planes(-1, 2), 0, 0, 3, out);
    EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{5.5, 11, 16.5}));
    const std::vector<double> negative_zero = {-0.0, 4};
    vorl::SignalView::planar(negative_zero.data(), 1, 2).read(vorl::Planes(-1, 1), 0, 0, 2, out);
    EXPECT_TRUE(std::signbit(out[0]));
    EXPECT_EQ(out[1], 4);
    out[0] = 7;
    vorl::SignalView{nullptr, 0, 8, 1, 0}.read(vorl::Planes(-1, 1), 0, 0, 0, out);
    EXPECT_EQ(out[0], 7);
    const vorl::Planes every(std::nullopt, 2);
    EXPECT_EQ(every.count(), 2u);
    EXPECT_EQ(every.shape(4, 5), (std::vector<std::size_t>{2, 4, 5}));
    EXPECT_THROW(vorl::Planes(2, 2), std::invalid_argument);
    EXPECT_THROW(vorl::Planes(0, 0), std::invalid_argument);
    EXPECT_THROW(every.check_channels(3), std::invalid_argument);
}

TEST(Bank, FiltersAtTheErbScalesCentresAreTheSameFilters) {
    const vorl::Bank spaced = vorl::Bank::on_erb_scale(16000, 12, 100.0, 6000.0, 1.019, 0.01);
    const vorl::Bank at = vorl::Bank::at(16000, spaced.center_frequencies(), 1.019, 0.01);
    ASSERT_EQ(at.filters.size(), 12u);
    EXPECT_EQ(at.decay, spaced.decay);
    for (std::size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(at.filters[k].gain, spaced.filters[k].gain);
        EXPECT_EQ(at.filters[k].a, spaced.filters[k].a);
    }
}

}  // namespace
