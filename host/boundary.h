// The boundary between the module and the host's callbacks. The module calls
// the host through C function pointers, and no exception may unwind through
// its frames: they are built without exception handling and would be left
// half done. Every callback that can throw runs its body through `guarded`,
// which turns an exception into the callback's failure value and keeps the
// first one; the host code that called the module rethrows it through
// `call_module` once the module has returned. Callbacks that cannot throw
// (every per-pixel one among them) are noexcept instead: a try block would
// add nothing to them but a promise already kept.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

namespace host {

// The first exception that a guarded callback caught on this thread and
// that no call_module has taken up.
std::exception_ptr& callback_failure() noexcept;

// Runs body(); when it throws, keeps the exception in `kept` (unless that
// holds one already) and returns `failure`.
template <typename Result, typename Body>
    requires std::is_invocable_r_v<Result, Body&>
Result guarded(Result failure, Body&& body, std::exception_ptr& kept = callback_failure()) noexcept {
    try {
        return body();
    } catch (...) {
        if (!kept) kept = std::current_exception();
        return failure;
    }
}

// The same for a callback without a result: an exception ends its body.
template <typename Body>
    requires std::is_invocable_v<Body&>
void guarded(Body&& body, std::exception_ptr& kept = callback_failure()) noexcept {
    guarded(0, [&] {
        body();
        return 0;
    }, kept);
}

// Sets aside what callbacks kept on this thread before a call into the
// module, and puts it back after the call.
class CallbackFailures {
public:
    CallbackFailures() noexcept : outer_(std::exchange(callback_failure(), nullptr)) {}
    ~CallbackFailures() { callback_failure() = std::move(outer_); }
    CallbackFailures(const CallbackFailures&) = delete;
    CallbackFailures& operator=(const CallbackFailures&) = delete;

    // Throws the first exception that a callback kept since the call began.
    void rethrow() const {
        if (std::exception_ptr failure = std::exchange(callback_failure(), nullptr)) std::rethrow_exception(failure);
    }

private:
    std::exception_ptr outer_;
};

// Calls `operation` of the module and, once it has returned, throws the
// first exception that a callback kept on this thread during the call.
template <typename Operation, typename... Arguments>
decltype(auto) call_module(Operation operation, Arguments&&... arguments) {
    const CallbackFailures failures;
    if constexpr (std::is_void_v<std::invoke_result_t<Operation, Arguments...>>) {
        operation(std::forward<Arguments>(arguments)...);
        failures.rethrow();
    } else {
        auto result = operation(std::forward<Arguments>(arguments)...);
        failures.rethrow();
        return result;
    }
}

}  // namespace host
