// The process-wide realtime state: the handle registry (key -> library
// handle), the callback registry (key -> callable) and the payload cache
// (cache key -> latest payload). One lock guards all three; it is held for a
// lookup or an update only, never across a Python call or a library call.
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
    const Callable callable;
    // Deliveries between lookup and return: counted up under the registry
    // lock, down without it.
    std::atomic<int> running{0};
    // Set, under the registry lock, once taken out of the callback registry;
    // read by a delivery without that lock.
    std::atomic<bool> removed{false};
};
using SubscriptionPtr = std::shared_ptr<Subscription>;

// Stores `s` in the callback registry under a new key, unique among the keys
// of both registries, and returns the key.
std::string open(const SubscriptionPtr& s);
// The library accepted the subscription.
void accept(const std::string& key, std::uint64_t handle);
// The library refused it: its callable goes again.
void abandon(const std::string& key, const SubscriptionPtr& s);
// Removes the key from both registries. Outside an event callable this waits
// until no delivery for the key is still running on another thread, so no
// call of its callable begins or continues once it returns.
void close(std::string_view key);

std::optional<std::uint64_t> handle_of(std::string_view key);

std::optional<std::string> cached(std::string_view cache_key);
void drop_cached(std::string_view cache_key);
// Empties the payload cache; called by a successful login.
void clear_payload_cache();

// An event for `key`: calls its callable, if it has one, under the
// interpreter lock; with a cache key, stores the payload there once the
// callable returned normally. Never throws.
void deliver(std::string_view key, std::string_view payload, const std::string_view* cache_key) noexcept;
// A cached payload for a subscription just accepted, on the calling thread.
void replay(std::string_view key, const SubscriptionPtr& s, std::string_view payload) noexcept;

// Registered at module load: before the interpreter finalizes, stops
// deliveries, waits for those running, and releases the registered callables.
void install_exit_hook();

}  // namespace tvx::realtime
