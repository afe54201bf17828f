// The broker's control surface for the Python control package: reset and seed
// the world, move the clock by hand or let it run, read the state back.
#include <mutex>
#include <stdexcept>
#include <string>

#include "broker_state.h"
#include "replay.h"

using namespace tvx::sandbox;

namespace tvx::sandbox {
const char* control_outcome(std::string error) {
    thread_local std::string kept;
    if (error.empty()) return nullptr;
    kept = std::move(error);
    return kept.c_str();
}
}  // namespace tvx::sandbox

namespace {

json::Value settings(const char* text, std::string& error) {
    try {
        return json::parse(text && *text ? text : "{}");
    } catch (const std::exception& e) {
        error = e.what();
        return {};
    }
}

}  // namespace

// Rebuilds the world from the settings (JSON; see tavrolix_sandbox.broker.reset).
TVX_EXPORT const char* tvx_broker_reset(const char* json_settings) {
    std::string error;
    json::Value s = settings(json_settings, error);
    if (!error.empty()) return control_outcome(error);
    replay_halt();
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    b.reset(s);
    return control_outcome(b.last_error);
}

// Adds users, accounts, positions and instruments, moves prices, switches the
// liquidity provider or the rest of the market on or off.
TVX_EXPORT const char* tvx_broker_apply(const char* json_settings) {
    std::string error;
    json::Value s = settings(json_settings, error);
    if (!error.empty()) return control_outcome(error);
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    error = b.apply(s);
    b.flush();
    return control_outcome(error);
}

namespace {
// A loaded history owns the clock: the live clock's ticks would stamp its
// coming prints with times not theirs and move the simulated instruments.
const char* replay_owns_clock() {
    if (!replay().loaded()) return nullptr;
    return control_outcome(
        "a history is loaded and its own times drive the clock (replay_step, replay_until, replay_run); "
        "reset the world to run the live clock again");
}
}  // namespace

// Null, or why the clock cannot move.
TVX_EXPORT const char* tvx_broker_step(std::int64_t ticks) {
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    if (const char* why = replay_owns_clock()) return why;
    b.step(ticks);
    b.flush();
    return nullptr;
}

TVX_EXPORT const char* tvx_broker_run(int interval_ms) {
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    if (const char* why = replay_owns_clock()) return why;
    b.options.running = true;
    b.options.interval_ms = interval_ms;
    clock_configure(true, interval_ms);
    return nullptr;
}

TVX_EXPORT void tvx_broker_stop() {
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    b.options.running = false;
    clock_configure(false, b.options.interval_ms);
}

// The whole state as JSON, valid until this thread calls again.
TVX_EXPORT const char* tvx_broker_state() {
    thread_local std::string out;
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    out = b.state_json();
    return out.c_str();
}

// Waits until every event handed to the event thread has been delivered;
// 1 when that happened within the time, 0 otherwise.
TVX_EXPORT int tvx_broker_drain(int timeout_ms) { return event_worker().drain(timeout_ms) ? 1 : 0; }
