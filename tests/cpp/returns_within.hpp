#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

// A call that can block (a read, a wait for a block, a stop) runs on a thread of its own while the test waits
// for it with a deadline of its own. One that has not returned by then fails the test there, naming what it
// waited for, instead of hanging until ctest's limit and reading as a time-out. The deadline is generous: it
// catches a call that never returns, never a slow one.
inline constexpr std::chrono::seconds hang_deadline{60};

[[noreturn]] inline void fail_hung(const std::string &what, std::chrono::seconds deadline) {
    const auto *test = testing::UnitTest::GetInstance()->current_test_info();
    // The blocked call still holds the test's objects: the process cannot go on to the next test, so the
    // failure is reported here and the process ends (each ctest test runs in a process of its own).
    std::fprintf(stderr, "%s.%s FAILED: %s did not return within %lld s\n", test ? test->test_suite_name() : "?",
                 test ? test->name() : "?", what.c_str(), static_cast<long long>(deadline.count()));
    std::fflush(stderr);
    std::_Exit(1);
}

// Returns what `call` returned (rethrows what it threw); `what` says what the call waits for.
template <typename Call>
auto returns_within(const std::string &what, Call &&call, std::chrono::seconds deadline = hang_deadline) {
    using Result = std::invoke_result_t<Call &>;
    auto task = std::make_shared<std::packaged_task<Result()>>(std::forward<Call>(call));
    std::future<Result> result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(deadline) != std::future_status::ready) {
        fail_hung(what, deadline);
    }
    return result.get();
}
