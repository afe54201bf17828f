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

#include "json.h"
#include "sandbox.h"
#include "ledger.h"
#include "order_store.h"
#include "sessions.h"
#include "streams.h"
#include "vocabulary.h"

namespace tvx::sandbox {
using namespace wire;

// Names of our own choosing, neutral on purpose.
namespace naming {
inline constexpr const char* kCurrency = "XTS";  // the code set aside for testing
}  // namespace naming

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return lower_ascii(x) < lower_ascii(y); });
    }
};

// Prices are exact counts of 1e-8 (money.h), so that tick grids compare exactly.
inline constexpr Px kPxScale = engine::kUnitsPerCurrency;
// A price the broker computes (a walk, a band edge) to the nearest unit, within (0, kMaxPx].
// What people give is read with engine::read_price, which refuses what it would round.
Px to_px(double p);
inline double from_px(Px p) { return static_cast<double>(p) / kPxScale; }

// Market, Side (derivatives: LONG buys, SHORT sells), PriceType, Validity and
// PositionMode are the engine's (vocabulary.h).

// ------------------------------------------------------------------ market
// Book order ids: a customer order's index, or one of these.
inline constexpr int kLiquidity = -1;
inline constexpr int kFlow = -2;  // the market's other participants, taking liquidity

struct Candle {
    std::int64_t t;  // opening second of the minute
    Px open, high, low, close;
    std::int64_t volume;
    double value;
    std::uint64_t seq;  // tape number of its last trade
};

struct Instrument {
    std::string symbol, underlying, security_type, last_trading_date, currency = naming::kCurrency;
    Market market;
    double multiplier = 1;
    double im = 0, mm = 0;  // margins per contract (derivatives)
    Px fixed_tick = 0;      // 0: the equity tick table
    int lot = 1;
    double limit = 0.3;  // daily price band around the reference price
    bool banded = true;  // false: no band binds orders (history's own symbols); limit only sizes the book
    Px reference = 0, ceiling = 0, floor = 0;
    int link = -1;  // fair price follows this instrument's, plus link_offset
    Px link_offset = 0;
    double volatility = 0.015;  // standard deviation of the price move over an hour, relative
    int lp_levels = 5, lp_size = 10;
    double flow_chance = 0.25;
    bool simulated = true;  // fair price, provider and participants at work
    int flow_max = 3;
    // Informed takers: with this chance, before the fair price steps, one of
    // them takes up to informed_size times lp_size lots of every quote the
    // coming price leaves on the wrong side.
    double informed_chance = 0.5, informed_size = 1.0;

    // Moving parts.
    Px fair = 0;       // where the liquidity provider quotes around, on the tick grid
    double exact = 0;  // the walk behind it
    double shock = 0;  // the walk's next step, drawn a step ahead so the informed can act on it
    bool requote = true;
    Px last = 0, open = 0, high = 0, low = 0;
    std::int64_t volume = 0;
    double value = 0;
    std::uint64_t last_seq = 0;
    std::int64_t last_time = 0;
    std::shared_ptr<engine::Book> book;     // made for the day's band (see make_book)
    std::vector<engine::Handle> lp_quotes;  // the liquidity provider's resting quotes
    std::vector<Candle> candles;            // one-minute candles, oldest first

    // Replayed from history (see replay.h): no simulation; user orders fill
    // by the fill model; MARKET orders wait for the next print or bar.
    bool replayed = false;
    bool quoted = false;              // the history has its quotes; else the quote shown follows the last print
    Px quote_bid = 0, quote_ask = 0;  // the replayed best bid and ask, 0 when none
    std::int64_t quote_bid_volume = 0, quote_ask_volume = 0;
    std::vector<int> waiting;  // MARKET orders waiting, oldest first

    Px mark() const { return last ? last : reference; }
};

// ---------------------------------------------------------------- accounts
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
    // The trading session, in seconds of the UTC day; continuous when not scheduled.
    bool scheduled = false;
    int open_second = 0, close_second = 86400;
    unsigned days = 0x7f;  // bit d: weekday d trades (0 Monday ... 6 Sunday)
};

std::string parse_session(const json::Value& s, Options& o);

class Replay;

// A world's market, accounts, orders and streams (see world.h for the world
// that owns it, its lock, clock and replay).
class BrokerState {
   public:
    Options options;
    std::int64_t now = 0;
    std::uint64_t rng = 0;

    Sessions sessions;

    std::vector<Instrument> instruments;
    std::map<std::string, int, NoCase> symbols;
    std::map<std::string, DerivativesAccountState> derivatives;
    std::map<std::string, EquityAccountState> equity;

    OrderStore orders;  // orders, fills and their numbers
    std::uint64_t next_book_seq = 1;
    std::uint64_t tape_seq = 0;

    struct Tape {
        std::uint64_t seq;
        int inst;
        Px px;
        int qty;
        std::int64_t t;
    };
    std::deque<Tape> tape;  // the latest public trades

    Streams streams;
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

    // What the replay drives, and nothing more of the exchange's insides.
    void note_book(int inst);                                                 // the book shown changed
    void print_trade(int inst, Px px, int qty);                               // a public trade: tape, candles, pictures
    void note_trigger(int inst, Px px) { triggers_.emplace_back(inst, px); }  // stop orders see the price
    void book_events(int inst);  // acts on what the instrument's book reported
    void fill_order(int order, Px px, int qty, const std::string& deal);
    void expire(int order, std::string why);  // an active order's rest expires
    void rehold(int order);                   // its hold price changed: the ledger holds anew
    void settle();
    void restart_instrument(int inst);  // new terms around its reference: limits, book, tick grid
    void start_replayed(int inst);      // no longer simulated; its day and tape start over
    void set_terms(int inst);           // the day's limits as the streams show them
    void open_session();                // the replayed clock opens and closes the day
    void close_session();
    void note_order(int order, const char* event, Px match_px = 0, int match_qty = 0);  // an order event
    Verdict check_funds(Order& o, int skip);  // whether the account carries the order (skip: its own hold)

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

    // Clock and trading days.
    void step(std::int64_t ticks);
    bool session_open(std::int64_t t) const;
    bool in_session = true;
    void set_fair(int inst, Px price);

    // Texts.
    static std::string date_text(std::int64_t t);
    static std::string time_text(std::int64_t t);
    static std::string status_text(Status s);
    static const char* side_text(const Order& o);
    Px tick_at(const Instrument& in, Px p) const;

    // Realtime.
    std::string book_payload(int inst) const;
    std::string info_payload(int inst) const;
    std::string candle_payload(int inst, const std::string& interval, std::size_t k, const Candle& minute) const;
    void order_json(json::Writer& w, const Order& o) const;
    OrderTexts order_texts(const Order& o) const;
    // Hands everything the operation noted to the event worker.
    void flush();
    // The current picture of a cached topic, for a newcomer; "" for others.
    std::string current_picture(Topic t, const std::string& subject) const;

   private:
    // Realtime notes of the current operation.
    std::map<int, std::string> last_book_;  // the book picture last noted, by instrument
    bool book_quiet_ = false;               // inside a change that counts as one (a requote)
    void note_trade(int inst);
    std::vector<std::pair<int, Px>> triggers_;  // trades not yet offered to the stop orders

    Verdict check_new(const Placement& p, Order& o);
    Verdict check_price(const Instrument& in, PriceType type, Px price, bool bypass_warning) const;
    void submit(int order);
    // Hands an order to the instrument's book and acts on what the book
    // reports: fills become trades, a rest records its place, changes of the
    // book reach the streams.
    engine::AddResult to_book(int inst, const engine::BookOrder& o, engine::Handle replacing = {});
    void make_book(int inst);
    void execute(int inst, Px px, int qty, int buyer, int seller);
    void unrest(int order);
    void end_order(int order, Status status, const char* event);
    void drop_stop(int order);
    void activate(int order);
    void requote(int inst);
    void flow(int inst);
    void informed_flow(int inst);
    void move_fair(int inst);
    double coming_exact(int inst);
    void clamp_fair(Instrument& in);
    std::uint64_t next_random();
    double uniform();
    double normal();
    void add_instrument(Instrument in);
    void seed_default_world();
    void seed_default_accounts();
    void warm_up(int minutes);
    std::string apply_entities(const json::Value& settings, bool at_reset);
};

// The clock's range, seconds since 1970: the years 1 to 9999.
inline constexpr std::int64_t kEarliestTime = -62135596800;
inline constexpr std::int64_t kLatestTime = 253402300799;

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" (or with a blank for the T), or seconds since 1970.
bool parse_time(const char* s, std::int64_t& out);

// Candle intervals: a candle opens at origin plus a multiple of its length.
struct IntervalSpec {
    const char* name;
    std::int64_t seconds;
    std::int64_t origin;
};
const IntervalSpec* find_interval(const char* name);
// One-minute candles combined into candles of `interval`, oldest first.
std::vector<Candle> aggregate(const Instrument& in, const IntervalSpec& interval);

// A control entry point's error text, valid until this thread calls again;
// null for none.
const char* control_outcome(std::string error);

}  // namespace tvx::sandbox
