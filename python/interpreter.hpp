#pragma once

// Native code meeting the interpreter: calls into Python that survive the
// interpreter ending the calling thread, releasing the interpreter lock, and
// worker threads whose start may fail.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
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
 * Calls `work(w)` for w = 0 .. workers-1, on w-1 new threads and this one, and
 * rethrows the first failure after every thread has ended. A thread that the
 * system refuses to start ends the run the same way: the threads already
 * running finish, and its error is thrown.
 */
template <typename Work>
void run_on_threads(std::size_t workers, const Work& work) {
    std::vector<std::exception_ptr> failures(workers);
    auto guarded = [&](std::size_t w) {
        try {
            work(w);
        } catch (...) {
            failures[w] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    std::exception_ptr refused;
    try {
        pool.reserve(workers);
        for (std::size_t w = 1; w < workers; ++w) pool.emplace_back(guarded, w);
    } catch (const std::system_error& error) {
        refused = std::make_exception_ptr(std::runtime_error(
            "could not start " + std::to_string(workers - 1) + " worker threads: " + error.what()));
    } catch (...) {
        refused = std::current_exception();
    }
    if (!refused) guarded(0);
    for (std::thread& t : pool) t.join();
    if (refused) std::rethrow_exception(refused);
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

}  // namespace vorl_python
