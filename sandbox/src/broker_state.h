// The simulated broker: instruments with their order books, users, accounts,
// orders, trades and realtime subscriptions, all behind one lock.
#pragma once
#include <cstdint>
#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "calendar.h"
#include "json.h"
#include "sandbox.h"
#include "exchange.h"
#include "ledger.h"
#include "order_store.h"
#include "market_data.h"
#include "market_sim.h"
#include "sessions.h"
#include "streams.h"
#include "vocabulary.h"

namespace tvx::sandbox {
using namespace wire;

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return lower_ascii(x) < lower_ascii(y); });
    }
};

// Market, Side (derivatives: LONG buys, SHORT sells), PriceType, Validity and
// PositionMode are the engine's (vocabulary.h).

// What an order shows as text, shared by order records and order events.
struct OrderTexts {
    std::string number, entry_date, entry_time, update_time, status, show, meaning, side, symbol, position, price_type,
        validity, exchange_no, trigger_condition, trigger_symbol, reject_reason, cancel_id, cancel_time;
};

// ------------------------------------------------------------------ broker
struct Options {
    std::uint64_t seed = 20260302;
    int history_minutes = 60;
    bool liquidity = true;
    bool activity = true;
    bool running = true;
    int interval_ms = 250;
    int tick_seconds = 1;
    std::int64_t start = 1772445600;  // 2026-03-02T10:00:00Z
    calendar::Schedule session;       // continuous unless scheduled
};

std::string parse_session(const json::Value& s, calendar::Schedule& o);

class Replay;

// A world's market, accounts, orders and streams (see world.h for the world
// that owns it, its lock, clock and replay).
class BrokerState {
   public:
    Options options;
    std::int64_t now = 0;

    Sessions sessions;

    std::vector<Instrument> instruments;
    std::map<std::string, int, NoCase> symbols;
    std::map<std::string, DerivativesAccountState> derivatives;
    std::map<std::string, EquityAccountState> equity;

    OrderStore orders;  // orders, fills and their numbers
    std::uint64_t next_book_seq = 1;

    Streams streams;
    MarketData market_data{instruments, streams};
    MarketSim sim{*this};
    Replay* replay = nullptr;  // the world's replay, which decides the fills of replayed instruments

    // Built from the settings (see tavrolix_sandbox.broker.reset); what was
    // wrong with them is in build_error.
    explicit BrokerState(const json::Value& settings);
    BrokerState(const BrokerState&) = delete;
    BrokerState& operator=(const BrokerState&) = delete;
    std::string build_error;
    std::string apply(const json::Value& settings);  // "" or what was wrong
    std::string state_json(bool clock_running);

    // The trading day (trading_day.cpp).
    bool session_open(std::int64_t t) const;
    void sync_session();                // the session opens or closes as the schedule has it now
    void start_day(int inst);           // its day starts: the last price the reference, the day's figures anew
    void restart_instrument(int inst);  // new terms around its reference: limits, walk, book, tick grid
    // No longer simulated: the provider leaves, its market data starts over
    // (room for `minutes` candles).
    void start_replayed(int inst, std::size_t minutes);

    // Sessions and visibility.
    const User* user(const std::string& id) const;
    const User* session(Cfg cfg) const;
    const User* session(const char* channel) const;
    bool may_see(const User& u, const std::string& owner) const;
    const Instrument* instrument(const char* symbol, Market m) const;
    int instrument_index(const char* symbol) const;

    // Accounts.
    engine::Ledger ledger;
    engine::DerivativesFigures figures(const DerivativesAccountState& a) const {
        return ledger.derivatives_figures(a.id);
    }
    engine::EquityFigures figures(const EquityAccountState& a) const { return ledger.equity_figures(a.id); }

    // The clock: ticks of the session, the simulation, and stop orders.
    void step(std::int64_t ticks);
    bool in_session = true;

    // Texts.
    static std::string date_text(std::int64_t t) { return calendar::date_text(t); }
    static std::string time_text(std::int64_t t) { return calendar::time_text(t); }

    // Realtime.
    void order_json(json::Writer& w, const Order& o) const;
    OrderTexts order_texts(const Order& o) const;
    // Hands everything the operation noted to the event worker.
    void flush();
    // The current picture of a cached topic, for a newcomer; "" for others.
    std::string current_picture(Topic t, const std::string& subject) const;

   private:
    void print_trade(int inst, Px px, int qty);  // a public trade: market data, the positions' mark
    void set_terms(int inst);                    // what the ledger knows of the instrument
    void open_session();
    void close_session();
    void note_order(int order, const char* event, Px match_px = 0, int match_qty = 0);  // an order event
    void add_instrument(Instrument in);
    void seed_default_world();
    void seed_default_accounts();
    void warm_up(int minutes);
    std::string apply_entities(const json::Value& settings, bool at_reset);

    // What the exchange tells the market side, the replay and the streams.
    struct ExchangeSide final : ExchangeSink {
        BrokerState& b;
        explicit ExchangeSide(BrokerState& b) : b(b) {}
        int instrument_index(const char* symbol) const override { return b.instrument_index(symbol); }
        bool may_see(const User& u, const std::string& owner) const override { return b.may_see(u, owner); }
        Px last_price(int inst) const override { return b.market_data.day(inst).last; }
        Px mark(int inst) const override { return b.market_data.mark(inst); }
        void traded(int inst, Px px, int qty) override { b.print_trade(inst, px, qty); }
        void book_changed(int inst) override { b.market_data.book_changed(inst, b.now); }
        void book_replaced(int inst) override { b.sim.book_replaced(inst); }
        void quote_taken(int inst) override { b.sim.quote_taken(inst); }
        void quote_rested(int inst, engine::Handle h) override { b.sim.quote_rested(inst, h); }
        bool from_history(int order) override;
        void order_noted(int order, const char* event, Px px, int qty) override { b.note_order(order, event, px, qty); }
    };
    ExchangeSide exchange_side_{*this};

   public:
    Exchange exchange{orders, ledger, instruments, derivatives, equity, now, in_session, exchange_side_};
};

// A control entry point's error text, valid until this thread calls again;
// null for none.
const char* control_outcome(std::string error);

}  // namespace tvx::sandbox
