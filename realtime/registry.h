// The process-wide realtime state: the handle registry (key -> library
// handle), the callback registry (key -> callable) and the payload cache
// (cache key -> latest payload). One lock guards all three; it is held for a
// lookup or an update only, never across a Python call or a library call.
//
// Nothing on the delivery path is noexcept: a finalizing interpreter ends a
// thread that asks for its lock by unwinding it (pthread_exit), and unwinding
// into a noexcept frame aborts the process.
#pragma once
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "callable.h"

namespace tvx::realtime {

struct Subscription {
    explicit Subscription(Callable c) : callable(std::move(c)) {}
    // Given up by the last owner only (release).
    Callable callable;
    // Set, under the registry lock, once taken out of the callback registry;
    // a delivery reads it under the interpreter lock right before the call.
    std::atomic<bool> removed{false};
};
using SubscriptionPtr = std::shared_ptr<Subscription>;

// Lets go of `s`; the last owner releases the callable here rather than in a
// destructor (releasing it runs Python code). The interpreter lock is held.
void release(SubscriptionPtr& s);

// Stores `s` in the callback registry under a new key, unique among the keys
// of both registries, and returns the key.
std::string open(const SubscriptionPtr& s);
// The library accepted the subscription.
void accept(const std::string& key, std::uint64_t handle);
// The library refused it: its callable goes again.
void abandon(const std::string& key, const SubscriptionPtr& s);
// Removes the key from both registries and, when the library names one,
// empties that payload-cache entry, all at once. Waits for nothing: a call
// already running on another thread may finish, but none starts once this
// has returned.
void close(std::string_view key, const char* emptied_cache_key);

std::optional<std::uint64_t> handle_of(std::string_view key);

std::optional<std::string> cached(std::string_view cache_key);
// Empties the payload cache; called by a successful login.
void clear_payload_cache();

// An event for `key`: calls its callable, if it has one, under the
// interpreter lock; with a cache key, stores the payload there once the
// callable returned normally, unless the subscription ended or the entry was
// emptied since the event arrived. Throws nothing but a thread's forced exit.
void deliver(std::string_view key, std::string_view payload, const std::string_view* cache_key);
// A cached payload for a subscription just accepted, on the calling thread.
void replay(std::string_view key, const SubscriptionPtr& s, std::string_view payload);

// Registered at module load. At interpreter exit: stops deliveries, lets
// those running finish for a moment, and releases the registered callables.
// After fork: the child has no streams (the library's threads stayed behind)
// and a usable registry.
void install_process_hooks();

}  // namespace tvx::realtime
