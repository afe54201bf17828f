// Scripted mode's side of realtime streams: the subscriptions the library
// accepted, and the events tests have it deliver.
#pragma once
#include <cstddef>
#include <tuple>

#include "sandbox.h"

namespace tvx::sandbox {

// A scripted subscribe operation with its result decided: delivers the events
// queued for the next subscription on the calling thread, then, if the result
// accepts it, keeps the receiver and key.
void scripted_subscription(int op, const wire::SubscribeResult& r, wire::EventReceiver receiver, wire::text key);

// The receiver and key are the last two arguments of every subscribe operation.
template <class... A>
void scripted_subscription_args(int op, const wire::SubscribeResult& r, A... args) {
    const std::tuple<A...> t(args...);
    constexpr std::size_t n = sizeof...(A);
    scripted_subscription(op, r, std::get<n - 2>(t), std::get<n - 1>(t));
}

// Stops the streams, drops queued events and forgets the subscriptions.
void reset_events();

// Scripted mode's part of the library's fork handling (worlds.cpp).
void scripted_fork_prepare();
void scripted_fork_parent();
void scripted_fork_child();

}  // namespace tvx::sandbox
