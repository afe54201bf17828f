// The exchange: the rules of an order's life from placement to its end.
// Checks of a placement or change (texts, tick grid, limits; money and
// positions through the ledger), matching in the instrument's book (its
// events become trades and fills), stop orders waiting in their trigger
// instrument's book, cancels, changes, trade reports and expiry. Each event
// of an order's life is told to the ledger as it happens (ledger.h).
//
// It keeps records in the order store and money in the ledger; what the
// market shows (tape, candles, pictures), the provider's quotes, the history
// that fills replayed instruments and the order streams are the other side
// of ExchangeSink. Not thread-safe: the world's lock.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "instrument.h"
#include "ledger.h"
#include "order_store.h"

namespace tvx::sandbox {

struct User;

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

// What the exchange tells, and asks, the rest of its world.
class ExchangeSink {
   public:
    virtual int instrument_index(const char* symbol) const = 0;  // -1 for none
    virtual bool may_see(const User& u, const std::string& owner) const = 0;
    virtual Px last_price(int inst) const = 0;          // 0 before the day's first trade
    virtual Px mark(int inst) const = 0;                // the last price, or the reference before any
    virtual void traded(int inst, Px px, int qty) = 0;  // a public trade: tape, candles, pictures
    virtual void book_changed(int inst) = 0;
    virtual void book_replaced(int inst) = 0;  // a new book for the day's band: the provider's quotes are gone
    virtual void quote_taken(int inst) = 0;    // the provider's quote traded
    virtual void quote_rested(int inst, engine::Handle h) = 0;
    // An order of a replayed instrument: true when the history deals with it.
    virtual bool from_history(int order) = 0;
    virtual void order_noted(int order, const char* event, Px match_px, int match_qty) = 0;

   protected:
    ~ExchangeSink() = default;
};

class Exchange {
   public:
    Exchange(OrderStore& orders, engine::Ledger& ledger, std::vector<Instrument>& instruments,
             std::map<std::string, DerivativesAccountState>& derivatives,
             std::map<std::string, EquityAccountState>& equity, const std::int64_t& now, const bool& in_session,
             ExchangeSink& sink)
        : orders_(orders),
          ledger_(ledger),
          instruments_(instruments),
          derivatives_(derivatives),
          equity_(equity),
          now_(now),
          in_session_(in_session),
          sink_(sink) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

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
    Verdict trade_report(const User& by, const std::string& account, const char* symbol, double price, int volume,
                         const char* side, const char* position, const std::string& counter_account,
                         const char* counter_position, std::vector<std::int32_t>& numbers);

    // For the market's participants and a replayed history.
    // Hands an order to the instrument's book and acts on what the book reports.
    engine::AddResult to_book(int inst, const engine::BookOrder& o, engine::Handle replacing = {});
    void book_events(int inst);                                           // acts on what the book reported
    void fill_order(int order, Px px, int qty, const std::string& deal);  // the ledger books it, a fill is recorded
    void settle();                            // stop orders the trades met enter their books
    void expire(int order, std::string why);  // an active order's rest expires
    void rehold(int order);                   // its hold price changed: the ledger holds anew
    Verdict check_funds(Order& o, int skip);  // whether the account carries `o` (skip: its own earlier form)
    // A new book for the instrument's band (its stop orders move over).
    void make_book(int inst);
    // A trade outside the book (a replayed history's): the public sees it as
    // any trade, the stop orders meet it at the next settle.
    void outside_trade(int inst, Px px, int qty);
    // Fills `qty` of a user order at `px` against such a trade: it leaves the
    // book or shrinks in place; the ledger books the fill with its fees.
    void fill_outside(int order, Px px, std::int64_t qty);

    engine::OrderTerms terms_of(const Order& o) const;
    int ledger_account(const Order& o) const;

   private:
    OrderStore& orders_;
    engine::Ledger& ledger_;
    std::vector<Instrument>& instruments_;
    std::map<std::string, DerivativesAccountState>& derivatives_;
    std::map<std::string, EquityAccountState>& equity_;
    const std::int64_t& now_;
    const bool& in_session_;
    ExchangeSink& sink_;
    std::vector<std::pair<int, Px>> triggers_;  // trades not yet offered to the stop orders

    Verdict check_new(const Placement& p, Order& o);
    Verdict check_price(int inst, PriceType type, Px price, bool bypass_warning) const;
    void submit(int order);
    void execute(int inst, Px px, int qty, int buyer, int seller);
    void unrest(int order);
    void end_order(int order, Status status, const char* event);
    void drop_stop(int order);
    void activate(int order);
};

}  // namespace tvx::sandbox
