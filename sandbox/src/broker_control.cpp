// The broker's control surface for the Python control package: make, reset
// and close worlds, seed them, move their clocks by hand or let them run,
// read their state back. Every entry point names its world by id (0: the
// default world); the unnumbered ones act on the default world. Nothing
// throws through here: whatever fails comes back as an error text.
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "faults.h"
#include "world.h"

using namespace tvx::sandbox;

namespace tvx::sandbox {
const char* control_outcome(std::string error) {
    thread_local std::string kept;
    if (error.empty()) return nullptr;
    kept = std::move(error);
    return kept.c_str();
}

const char* json_or_error(const char* error, const char* text) {
    if (!error) return text;
    try {
        thread_local std::string kept;
        kept = json::Writer().begin_object().field("error", error).end_object().take();
        return kept.c_str();
    } catch (...) {
        return "{\"error\": \"out of memory\"}";
    }
}
}  // namespace tvx::sandbox

namespace {

// The settings read, or what was wrong with them.
bool read_settings(const char* text, json::Value& out, std::string& error) {
    try {
        out = json::parse(text && *text ? text : "{}");
        return true;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

// `f(world)` under the world's lock; its events flushed.
template <class F>
const char* with_world(std::uint64_t id, F&& f) {
    return guarded([&]() -> std::string {
        // A world reset meanwhile has ended: its successor is the one meant.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::shared_ptr<World> w = worlds::find(id);
            if (!w) break;
            std::lock_guard<std::mutex> g(w->lock);
            if (w->ended()) continue;
            std::string error = f(*w);
            w->market.flush();
            return error;
        }
        return no_world(id);
    });
}

}  // namespace

// ------------------------------------------------------------ by world id
// A new world from the settings (JSON; see tavrolix_sandbox.broker.reset);
// its id in *id. Null, or what was wrong (no world made then).
TVX_EXPORT const char* tvx_world_create(const char* json_settings, std::uint64_t* id) {
    return guarded([&]() -> std::string {
        if (!id) return "no place for the world's id";
        fault::point();
        json::Value s;
        std::string error;
        return read_settings(json_settings, s, error) ? worlds::create(s, *id) : error;
    });
}

// Ends the world: its clock and replay stop, its streams end; its logins
// are refused from then on.
TVX_EXPORT const char* tvx_world_close(std::uint64_t id) {
    return guarded([&]() -> std::string {
        fault::point();
        if (id == worlds::kDefault) return "the default world cannot be closed; reset it";
        return worlds::close(id) ? "" : no_world(id);
    });
}

// Makes the world anew from the settings; the old one's streams end.
TVX_EXPORT const char* tvx_world_reset(std::uint64_t id, const char* json_settings) {
    return guarded([&]() -> std::string {
        fault::point();
        json::Value s;
        std::string error;
        return read_settings(json_settings, s, error) ? worlds::reset(id, s) : error;
    });
}

// Adds users, accounts, positions and instruments, moves prices, switches the
// liquidity provider or the rest of the market on or off.
TVX_EXPORT const char* tvx_world_apply(std::uint64_t id, const char* json_settings) {
    json::Value s;
    std::string error;
    try {
        if (!read_settings(json_settings, s, error)) return control_outcome(error);
    } catch (...) {
        return control_outcome("out of memory");
    }
    return with_world(id, [&](World& w) { return w.market.apply(s); });
}

// A loaded history owns the clock: the live clock's ticks would stamp its
// coming prints with times not theirs and move the simulated instruments.
constexpr const char* kReplayOwnsClock =
    "a history is loaded and its own times drive the clock (replay_step, replay_until, replay_run); "
    "reset the world to run the live clock again";

// Null, or why the clock cannot move.
TVX_EXPORT const char* tvx_world_step(std::uint64_t id, std::int64_t ticks) {
    return with_world(id, [&](World& w) {
        if (w.replay.loaded()) return std::string(kReplayOwnsClock);
        w.market.step(ticks);
        return std::string();
    });
}

TVX_EXPORT const char* tvx_world_run(std::uint64_t id, int interval_ms) {
    return with_world(id, [&](World& w) {
        if (w.replay.loaded()) return std::string(kReplayOwnsClock);
        w.market.options.running = true;
        w.market.options.interval_ms = interval_ms;
        w.clock.configure(w, true, interval_ms);
        return std::string();
    });
}

TVX_EXPORT const char* tvx_world_stop(std::uint64_t id) {
    return with_world(id, [&](World& w) {
        w.market.options.running = false;
        w.clock.configure(w, false, w.market.options.interval_ms);
        return std::string();
    });
}

// The whole state as JSON in *out, valid until this thread calls again.
TVX_EXPORT const char* tvx_world_state(std::uint64_t id, const char** out) {
    thread_local std::string kept;
    return with_world(id, [&](World& w) {
        kept = w.market.state_json(w.clock.running());
        if (out) *out = kept.c_str();
        return std::string();
    });
}

// Waits until every event the world's streams were handed has been
// delivered; *done is 1 when that happened within the time, else 0.
TVX_EXPORT const char* tvx_world_drain(std::uint64_t id, int timeout_ms, int* done) {
    return guarded([&]() -> std::string {
        std::shared_ptr<World> w = worlds::find(id);
        if (!w) return no_world(id);
        std::shared_ptr<WorkQueue<Delivery>> worker;
        {
            std::lock_guard<std::mutex> g(w->lock);
            worker = w->market.streams.worker();
        }
        // Not under the world's lock: a delivery may need it.
        const bool drained = !worker || worker->drain(timeout_ms);
        if (done) *done = drained ? 1 : 0;
        return "";
    });
}

// ------------------------------------------------------- the default world
// The entry points of the control package before worlds had ids.
TVX_EXPORT const char* tvx_broker_reset(const char* json_settings) {
    return tvx_world_reset(worlds::kDefault, json_settings);
}
TVX_EXPORT const char* tvx_broker_apply(const char* json_settings) {
    return tvx_world_apply(worlds::kDefault, json_settings);
}
TVX_EXPORT const char* tvx_broker_step(std::int64_t ticks) { return tvx_world_step(worlds::kDefault, ticks); }
TVX_EXPORT const char* tvx_broker_run(int interval_ms) { return tvx_world_run(worlds::kDefault, interval_ms); }
TVX_EXPORT const char* tvx_broker_stop() { return tvx_world_stop(worlds::kDefault); }
// The state as JSON, or {"error": what was wrong}.
TVX_EXPORT const char* tvx_broker_state() {
    const char* out = nullptr;
    const char* error = tvx_world_state(worlds::kDefault, &out);
    return json_or_error(error, out);
}
TVX_EXPORT int tvx_broker_drain(int timeout_ms) {
    int done = 0;
    return tvx_world_drain(worlds::kDefault, timeout_ms, &done) ? 0 : done;
}

// ------------------------------------------------------------------- fees
// The fee schedule, defined once (the ledger's rates), as JSON in *out
// (valid until this thread calls again): each equity fee as the fraction
// [numerator, denominator] of a fill's value, rounded half up to the cent.
TVX_EXPORT const char* tvx_world_fees(const char** out) {
    thread_local std::string kept;
    return guarded([&]() -> std::string {
        fault::point();
        const engine::Rates r;
        json::Writer w;
        w.begin_object().key("equity").begin_object();
        for (const auto& [name, rate] : {std::pair{"brokerage_fee", r.brokerage}, std::pair{"trading_fee", r.trading},
                                         std::pair{"clearing_fee", r.clearing}})
            w.key(name).begin_array().value(rate.num).value(rate.den).end_array();
        w.end_object().key("hold").begin_array().value(r.buy_reserve.num).value(r.buy_reserve.den).end_array();
        w.field("rounding", "each fee of a fill, half up to the cent").end_object();
        kept = w.take();
        if (out) *out = kept.c_str();
        return "";
    });
}
