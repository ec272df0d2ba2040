#pragma once

#include <atomic>
#include <stdexcept>
#include <utility>

namespace vorl {

/**
 * The protocol every stream follows, written once.
 *
 * A push computes everything into scratch (a copy of the state, or work that
 * reads the state without writing it), and commits the new state at the end,
 * in steps that cannot fail. An error or a stop (Ctrl-C) before the commit
 * therefore leaves the stream exactly as it was: the same chunk can be pushed
 * again, and the results still equal one call on the whole signal.
 *
 * One push runs at a time: the guard admits one and refuses the others while
 * it runs, the first push (which creates the per-channel state) included.
 */
class PushGuard {
public:
    PushGuard() = default;
    /** A copy of a stream is a new stream: it is not busy. */
    PushGuard(const PushGuard&) {}
    PushGuard& operator=(const PushGuard&) { return *this; }

    /**
     * Runs `compute()`, then `commit(result)` (which must not throw), as one
     * push, and returns the result.
     *
     * @throws std::runtime_error if another push of the stream runs
     */
    template <typename Compute, typename Commit>
    auto push(Compute&& compute, Commit&& commit) {
        if (busy_.exchange(true, std::memory_order_acquire)) {
            throw std::runtime_error("push() called while another push() of this stream runs");
        }
        struct Release {
            std::atomic<bool>& busy;
            ~Release() { busy.store(false, std::memory_order_release); }
        } release{busy_};
        auto result = std::forward<Compute>(compute)();
        std::forward<Commit>(commit)(result);
        return result;
    }

private:
    std::atomic<bool> busy_{false};
};

}  // namespace vorl
