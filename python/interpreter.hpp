#pragma once

// Native code meeting the interpreter: calls into Python that survive the
// interpreter ending the calling thread, releasing the interpreter lock, and
// what the core's work needs from Python while the lock is released (polls
// for Ctrl-C, new arrays).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
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

    /** Runs `f` with the lock taken again, from the thread that released it. */
    template <typename F>
    decltype(auto) locked(F&& f) {
        call_python([this] { PyEval_RestoreThread(state_); });
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return std::forward<F>(f)();
    }

private:
    PyThreadState* state_;
};

/**
 * The `poll` of the core's work while the lock is released: lets Python handle
 * pending signals, so that Ctrl-C raises KeyboardInterrupt, which stops the
 * work and leaves a stream as it was.
 */
struct CheckSignals {
    Unlocked& unlocked;
    void operator()() const {
        unlocked.locked([] {
            if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        });
    }
};

/** The `allocate` of the core's work: a new float64 NumPy array, kept in `array`. */
struct NewArray {
    Unlocked& unlocked;
    pybind11::object& array;
    double* operator()(const std::vector<std::size_t>& shape) const {
        return unlocked.locked([&] {
            pybind11::array_t<double> a(std::vector<pybind11::ssize_t>(shape.begin(), shape.end()));
            double* data = a.mutable_data();
            array = std::move(a);
            return data;
        });
    }
};

}  // namespace vorl_python
