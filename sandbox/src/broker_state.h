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

// ---------------------------------------------------------------- accounts
// What the broker knows of an account beyond its books; money, positions and
// holds live in the ledger under `id`.
struct DerivativesAccountState {
    std::string no, owner;
    int id = -1;
    int ledger_seq = 0;
};

struct EquityAccountState {
    std::string no, owner, type = "CASH_BALANCE", client_type = "I", customer_type = "INDIVIDUAL";
    int id = -1;
};

// What an order shows as text, shared by order records and order events.
struct OrderTexts {
    std::string number, entry_date, entry_time, update_time, status, show, meaning, side, symbol, position, price_type,
        validity, exchange_no, trigger_condition, trigger_symbol, reject_reason, cancel_id, cancel_time;
};

// ----------------------------------------------------------------- results
// Reason codes: a text in messages and batch cancel errors, a number in order records.
struct Reason {
    const char* code;
    int number;
};

struct Verdict {
    bool ok = true;
    std::int32_t status = 200;
    std::string code;  // reason code of a refusal
    int number = 0;    // its number
    std::string text;  // what happened, for people
    int order = -1;
    std::string message() const { return code.empty() ? text : code + ": " + text; }
    static Verdict fail(std::int32_t status, Reason r, const std::string& text) {
        return Verdict{false, status, r.code, r.number, text, -1};
    }
    static Verdict done(const std::string& text, int order = -1) { return Verdict{true, 200, "", 0, text, order}; }
};
namespace reason {
inline constexpr Reason kUnknownSymbol{"UNKNOWN_SYMBOL", 1001};
inline constexpr Reason kBadPrice{"BAD_PRICE", 1002};
inline constexpr Reason kBadVolume{"BAD_VOLUME", 1003};
inline constexpr Reason kPriceLimit{"PRICE_LIMIT", 1004};
inline constexpr Reason kPriceWarning{"PRICE_WARNING", 1005};
inline constexpr Reason kBadSide{"BAD_SIDE", 1010};
inline constexpr Reason kBadPriceType{"BAD_PRICE_TYPE", 1011};
inline constexpr Reason kBadValidity{"BAD_VALIDITY", 1012};
inline constexpr Reason kBadPosition{"BAD_POSITION", 1013};
inline constexpr Reason kBadTrigger{"BAD_TRIGGER", 1014};
inline constexpr Reason kBadOrderType{"BAD_ORDER_TYPE", 1015};
inline constexpr Reason kBadIceberg{"BAD_ICEBERG", 1016};
inline constexpr Reason kInsufficientFunds{"INSUFFICIENT_FUNDS", 2001};
inline constexpr Reason kInsufficientPosition{"INSUFFICIENT_POSITION", 2002};
inline constexpr Reason kNotAllowed{"NOT_ALLOWED", 2003};
inline constexpr Reason kNotFound{"ORDER_NOT_FOUND", 3001};
inline constexpr Reason kNotCancellable{"ORDER_NOT_CANCELLABLE", 3002};
inline constexpr Reason kNotChangeable{"ORDER_NOT_CHANGEABLE", 3003};
inline constexpr Reason kNoChange{"NO_CHANGE", 3004};
inline constexpr Reason kBadAccount{"BAD_ACCOUNT", 3005};
inline constexpr Reason kMarketClosed{"MARKET_CLOSED", 3006};
}  // namespace reason

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
    void init_instrument(Instrument& in);
    std::string apply(const json::Value& settings);  // "" or what was wrong
    std::string state_json(bool clock_running);

    // The exchange for the market's participants (MarketSim) and a replayed
    // history (Replay). Hands an order to the instrument's book and acts on
    // what the book reports: fills become trades, a rest records its place,
    // changes of the book reach the streams.
    engine::AddResult to_book(int inst, const engine::BookOrder& o, engine::Handle replacing = {});
    void book_events(int inst);  // acts on what the instrument's book reported
    // A trade outside the book (history's): market data, the positions' mark, stop orders.
    void print(int inst, Px px, int qty);
    // Fills `qty` of a user order at `px` against such a trade: it leaves the
    // book or shrinks in place; the ledger books the fill with its fees.
    void fill_outside(int order, Px px, std::int64_t qty);
    void expire(int order, std::string why);  // an active order's rest expires, with its EXPIRE event
    void rehold(int order);                   // its hold price changed: the ledger holds anew
    Verdict check_funds(Order& o, int skip);  // whether the account carries the order (skip: its own hold)
    void settle();                            // stop orders the prices met go

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

    // Orders.
    struct Placement {
        Market market;
        std::string account, entered_by;
        const char* symbol;
        const char* side;
        const char* position = "";
        const char* price_type;
        const char* validity;
        double price;
        int volume;
        bool bypass_warning = false;
        int iceberg = 0;
        bool nvdr = false;
        const char* trustee = "";
        const char* order_type = "";
        const char* trigger_condition = "";
        const char* trigger_symbol = "";
        double trigger_price = 0;
    };
    Verdict place(const Placement& p);
    struct Change {
        std::string new_account;  // "" keeps it
        double price = 0;         // 0 keeps it
        int volume = 0;           // 0 keeps it
        const char* price_type = "";
        const char* validity = "";
        const char* trustee = "";
        int iceberg = 0;
        bool bypass_warning = true;
        int nvdr = -1;  // -1 keeps it
    };
    Verdict change(int order, const Change& c, const User& by);
    Verdict cancel(int order, const User& by);
    struct ReportSide {
        std::string account;
        const char* position;
    };
    Verdict trade_report(const User& by, const std::string& account, const char* symbol, double price, int volume,
                         const char* side, const char* position, const std::string& counter_account,
                         const char* counter_position, std::vector<std::int32_t>& numbers);

    // Accounts.
    engine::Ledger ledger;
    engine::DerivativesFigures figures(const DerivativesAccountState& a) const {
        return ledger.derivatives_figures(a.id);
    }
    engine::EquityFigures figures(const EquityAccountState& a) const { return ledger.equity_figures(a.id); }
    engine::OrderSpec spec_of(const Order& o) const;
    int ledger_account(const Order& o) const;

    // The clock: ticks of the session, the simulation, and stop orders.
    void step(std::int64_t ticks);
    bool in_session = true;

    // Texts.
    static std::string date_text(std::int64_t t) { return calendar::date_text(t); }
    static std::string time_text(std::int64_t t) { return calendar::time_text(t); }
    static std::string status_text(Status s);
    static const char* side_text(const Order& o);
    Px tick_at(const Instrument& in, Px p) const;
    // The price positions are valued at (see MarketData::mark).
    Px mark(const Instrument& in) const { return market_data.mark(static_cast<int>(&in - instruments.data())); }

    // Realtime.
    void order_json(json::Writer& w, const Order& o) const;
    OrderTexts order_texts(const Order& o) const;
    // Hands everything the operation noted to the event worker.
    void flush();
    // The current picture of a cached topic, for a newcomer; "" for others.
    std::string current_picture(Topic t, const std::string& subject) const;

   private:
    void note_book(int inst) { market_data.book_changed(inst, now); }
    void print_trade(int inst, Px px, int qty);  // a public trade: market data, the positions' mark
    void fill_order(int order, Px px, int qty, const std::string& deal);
    void set_terms(int inst);  // what the ledger knows of the instrument
    void open_session();
    void close_session();
    void note_order(int order, const char* event, Px match_px = 0, int match_qty = 0);  // an order event
    std::vector<std::pair<int, Px>> triggers_;  // trades not yet offered to the stop orders

    Verdict check_new(const Placement& p, Order& o);
    Verdict check_price(const Instrument& in, PriceType type, Px price, bool bypass_warning) const;
    void submit(int order);
    void make_book(int inst);
    void execute(int inst, Px px, int qty, int buyer, int seller);
    void unrest(int order);
    void end_order(int order, Status status, const char* event);
    void drop_stop(int order);
    void activate(int order);
    void add_instrument(Instrument in);
    void seed_default_world();
    void seed_default_accounts();
    void warm_up(int minutes);
    std::string apply_entities(const json::Value& settings, bool at_reset);
};

// A control entry point's error text, valid until this thread calls again;
// null for none.
const char* control_outcome(std::string error);

}  // namespace tvx::sandbox
