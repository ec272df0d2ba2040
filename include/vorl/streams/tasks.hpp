#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vorl {

/** A `poll` that never stops the work: for callers with nothing to watch. */
struct NoPoll {
    void operator()() const {}
};

/**
 * Runs `work(task, stop)` for task = 0 .. tasks-1 on up to `threads` new
 * threads, each taking the next task when it is free, while the calling thread
 * waits and calls `poll()` every 2 ms.
 *
 * `poll` is how a caller stops the work (a Python binding checks for Ctrl-C
 * there): if it throws, `stop` is set, which long tasks check between blocks,
 * and the exception is rethrown once every thread has ended. The first failure
 * of a task does the same, and so does a refusal of the system to start a
 * thread. With `brief` set, work for a single thread runs on the calling
 * thread instead, without polls: work of a few milliseconds, sparing a
 * thread's start.
 *
 * @throws std::invalid_argument if `threads` is 0
 */
template <typename Work, typename Poll = NoPoll>
void run_tasks(std::size_t tasks, std::size_t threads, const Work& work, Poll&& poll = {},
               bool brief = false) {
    if (threads == 0) throw std::invalid_argument("threads must be positive");
    if (tasks == 0) return;
    const std::size_t workers = std::min(tasks, threads);
    if (brief && workers == 1) {
        const std::atomic<bool> never{false};
        for (std::size_t task = 0; task < tasks; ++task) work(task, never);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;
    const auto fail = [&](std::exception_ptr error) {
        std::lock_guard<std::mutex> guard(lock);
        if (!failure) failure = error;
        stop = true;
    };

    auto worker = [&] {
        for (std::size_t task; !stop && (task = next++) < tasks;) {
            try {
                work(task, static_cast<const std::atomic<bool>&>(stop));
            } catch (...) {
                fail(std::current_exception());
            }
        }
        std::lock_guard<std::mutex> guard(lock);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> pool;
    try {
        pool.reserve(workers);
        for (std::size_t w = 0; w < workers; ++w) {
            {
                std::lock_guard<std::mutex> guard(lock);
                ++running;
            }
            try {
                pool.emplace_back(worker);
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                --running;
                throw;
            }
        }
    } catch (const std::system_error& error) {
        fail(std::make_exception_ptr(std::runtime_error(
            "could not start " + std::to_string(workers) + " worker threads: " + error.what())));
    } catch (...) {
        fail(std::current_exception());
    }

    bool polling = true;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            if (finished.wait_for(guard, std::chrono::milliseconds(2),
                                  [&] { return running == 0; })) {
                break;
            }
        }
        if (!polling) continue;
        try {
            poll();
        } catch (...) {
            polling = false;  // stopped: wait for the threads without asking again
            fail(std::current_exception());
        }
    }
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vorl
