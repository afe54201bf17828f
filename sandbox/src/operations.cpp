// The exported operations: each records what it received (scripted mode) or
// asks the broker (broker mode).
#include <new>
#include <utility>

#include "broker.h"
#include "calllog.h"
#include "events.h"
#include "platform.h"

namespace tvx::sandbox {

template <int N, class R, class F, class... A>
R serve_or_throw(F&& broker_call, A... args) {
    count_call(N);
    if (mode() != Mode::Scripted) return broker_call();
    if (recording()) {
        ArgLog log;
        (log.add(args), ...);
        log_call(N, log.finish());
    }
    R r{};
    if (!take_scripted(N, &r, sizeof r)) set_failure(r, "sandbox: no scripted result queued for this operation");
    if constexpr (std::is_same_v<R, wire::SubscribeResult>) scripted_subscription_args(N, r, args...);
    return r;
}

// Nothing leaves an operation by throwing: whatever fails inside comes back
// as the result's failure text.
template <int N, class R, class F, class... A>
R serve(F&& broker_call, A... args) noexcept {
    // Where the operation entered, measured here as before the guard: results of calls
    // entered at this depth or shallower are over (see Arena).
    enter_operation(platform::stack_position());
    try {
        return serve_or_throw<N, R>(std::forward<F>(broker_call), args...);
    } catch (const std::bad_alloc&) {
        R r{};
        set_failure(r, "the library ran out of memory");
        return r;
    } catch (...) {
        R r{};
        set_failure(r, "the library failed inside (an exception it did not expect)");
        return r;
    }
}

}  // namespace tvx::sandbox

#define TVX_STRIP(...) __VA_ARGS__
#define TVX_DEFINE_OPERATION(n, R, name, params, args)                                                    \
    R TavrolixInterfacePY_##n params {                                                                    \
        return ::tvx::sandbox::serve<n, R>(                                                               \
            [&] { return ::tvx::sandbox::Broker<::tvx::sandbox::Op::name>::call args; }, TVX_STRIP args); \
    }

namespace tvx::wire {
TVX_OPERATIONS(TVX_DEFINE_OPERATION)
}
