#pragma once

// One scan of every identifier split between two cores (internal to the search): the lower
// half on the calling thread, the upper half on a helper, each into a result of its own.

#include <cstdint>
#include <exception>
#include <thread>

namespace nexdir::detail {

// Calls `work(begin, middle, lower)` here and `work(middle, end, upper)` on a helper thread;
// returns when both are done, rethrowing a failure of either.
template <typename Result, typename Work>
void inTwoHalves(int64_t begin, int64_t end, Result& lower, Result& upper, Work&& work) {
    int64_t middle = begin + (end - begin) / 2;
    std::exception_ptr failure;
    std::thread helper([&] {
        try {
            work(middle, end, upper);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        work(begin, middle, lower);
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace nexdir::detail
