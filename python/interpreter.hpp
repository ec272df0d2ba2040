#pragma once

// Native code meeting the interpreter: calls into Python that survive the
// interpreter ending the calling thread, releasing the interpreter lock, and
// worker threads whose start may fail.

#include <pybind11/pybind11.h>

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
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#include <unistd.h>
#endif

namespace vorl_python {

/**
 * Runs `f`, which calls the C API with the interpreter lock held and holds no
 * C++ object of its own, and returns its result.
 *
 * A daemon thread that waits for the interpreter lock while the interpreter
 * shuts down is ended by the interpreter with pthread_exit, which unwinds the
 * thread's stack. Unwinding the native frames above would release Python
 * objects without the lock, from a dying interpreter. Instead the thread stops
 * here for good, releasing nothing, until the process exits (what CPython
 * itself does from 3.14 on).
 */
// The forced unwind has no exception object: the handler binds its reference to
// null, which UBSan would report, so that one check is off here.
template <typename F>
#if defined(__GLIBCXX__)
__attribute__((no_sanitize("null")))
#endif
decltype(auto) call_python(F&& f) {
#if defined(__GLIBCXX__)
    try {
        return std::forward<F>(f)();
    } catch (abi::__forced_unwind&) {
        for (;;) ::pause();
    }
#else
    return std::forward<F>(f)();
#endif
}

/** Releases the interpreter lock for its lifetime; retaking it survives shutdown as above. */
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() {
        call_python([this] { PyEval_RestoreThread(state_); });
    }

private:
    PyThreadState* state_;
};

/**
 * Runs `work(task, stop)` for task = 0 .. tasks-1 on up to `threads` new
 * threads, taken in order by whichever thread is free, while the calling
 * thread, which holds the interpreter lock, waits with the lock released.
 *
 * Every 100 ms the caller takes the lock and lets Python handle pending
 * signals: Ctrl-C sets `stop`, which long tasks check between blocks, and the
 * KeyboardInterrupt is raised once every thread has ended. The first failure
 * of a task also sets `stop` and is rethrown after every thread has ended; so
 * is a refusal of the system to start a thread. With `brief` set, work for a
 * single thread runs on the calling thread instead.
 */
template <typename Work>
void run_tasks(std::size_t tasks, std::size_t threads, const Work& work, bool brief = false) {
    if (tasks == 0) return;
    const std::size_t workers = std::max<std::size_t>(1, std::min(tasks, threads));
    if (brief && workers == 1) {
        // Work of a few milliseconds, such as one chunk of a stream: on this
        // thread, sparing a thread's start; nothing to interrupt.
        const std::atomic<bool> never{false};
        Unlocked unlocked;
        for (std::size_t task = 0; task < tasks; ++task) work(task, never);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;

    auto worker = [&] {
        for (std::size_t task; !stop && (task = next++) < tasks;) {
            try {
                work(task, static_cast<const std::atomic<bool>&>(stop));
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                if (!failure) failure = std::current_exception();
                stop = true;
            }
        }
        std::lock_guard<std::mutex> guard(lock);
        --running;
        finished.notify_all();
    };
    auto wait_for_all = [&](std::chrono::milliseconds patience) {
        Unlocked unlocked;
        std::unique_lock<std::mutex> guard(lock);
        return finished.wait_for(guard, patience, [&] { return running == 0; });
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
        stop = true;
        std::lock_guard<std::mutex> guard(lock);
        failure = std::make_exception_ptr(std::runtime_error(
            "could not start " + std::to_string(workers) + " worker threads: " + error.what()));
    } catch (...) {
        stop = true;
        std::lock_guard<std::mutex> guard(lock);
        failure = std::current_exception();
    }

    bool interrupted = false;
    while (!wait_for_all(std::chrono::milliseconds(100))) {
        if (!interrupted && PyErr_CheckSignals() != 0) {
            interrupted = true;  // the Python error stays set until the threads are done
            stop = true;
        }
    }
    for (std::thread& t : pool) t.join();
    if (interrupted) throw pybind11::error_already_set();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vorl_python
