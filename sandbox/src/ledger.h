// The broker's books of account: cash, positions (long and short apart, with
// their cost), fees, what open orders hold back, margins and P&L. It listens
// to fills and to order life-cycle calls; every figure is kept as it changes
// or summed over the account's positions only, never over order history, and
// money is exact (see money.h). It knows instruments and accounts by the
// caller's dense indexes, and nothing of texts, books or threads.
//
// Order life cycle, as the caller drives it:
//   Verdict v = ledger.check(req);            // placement (and stop placement)
//   if (v.ok()) ledger.place(id, req);        // holds taken
//   ledger.fill(id, price, volume);            // each trade of the order
//   ledger.replace(id, terms2) after check(terms2, id)   // a change
//   ledger.check_activation(id) / activate(id) // a stop order whose trigger is met
//   ledger.remove(id);                         // cancelled, expired, rejected
// An order leaves the ledger by itself when a fill matches its last volume.
// A MARKET order (hold_price 0) holds at the ceiling of the day it entered
// the book: placed, or activated for a stop; a change keeps that price.
//
// What open orders hold back:
// - equity BUY (active): hold price (limit, or the day's ceiling for MARKET) x
//   remaining; buying power = cash + credit limit - that sum x (1 + buy reserve).
// - equity SELL (active or pending): its remaining shares.
// - derivatives CLOSE (active or pending stop): its remaining contracts of the
//   opposite position, which no other CLOSE, nor an AUTO fill, may take.
// - derivatives OPEN (active): initial margin on its remaining contracts.
// - derivatives AUTO (active): decides at each fill: it closes what the
//   opposite position has not reserved for CLOSE orders and opens the rest. For
//   margin, the AUTO orders of one account, instrument and side together count
//   as opening max(0, their remaining - closable), closable being the opposite
//   position less what CLOSE orders reserve. AUTO reserves nothing: a CLOSE
//   placed later may take contracts an AUTO would have closed, and the AUTO
//   then opens instead (its margin is in total_mr at once, not re-checked).
// - pending stop orders other than the above hold nothing; their margin or
//   money is checked when they activate (check_activation).
//
// Money rules (prices and money in exact units of 1e-8, see money.h):
// - value = price x volume x multiplier, exact.
// - equity fees: brokerage, trading and clearing rates of the value, each
//   rounded half up to the cent; a buy costs the value rounded to the cent +
//   fees, a sale brings the value rounded to the cent - fees.
// - cost: a position keeps the exact cost of what it holds (sum of price x
//   volume); its average price is cost / volume. Closing q of v units takes
//   cost x q / v (rounded half away from zero to the unit; all of it at the
//   last unit) off the cost. Realized P&L = (value - cost x q / v) x multiplier
//   (mirror for shorts), multiplied while exact and rounded once, half away
//   from zero, to the cent. Derivatives realized P&L goes into cash.
// - unrealized = (mark x long - long cost) + (short cost - mark x short), times
//   the multiplier; equity = cash + unrealized; total_mr = initial margin x
//   (long + short + opening contracts of open orders); total_mm = maintenance
//   margin x (long + short); excess = equity - total_mr; flag "F" when equity
//   < total_mm / 2, "C" when below total_mm, else "N"; call_force_margin =
//   total_mr - equity unless "N" (then 0).
// - figures are exact in units; Money::rounded() hands them out to the cent.
//
// check() judges a pending order as if it were active: a stop order is checked
// when placed and again when it triggers. Not thread-safe: the caller's lock.
//
// Refusals (check): NotAllowed (account may not buy/sell), BadVolume (the
// result would not fit the 32-bit record fields or the money bound: positions,
// their day counters, or notionals), InsufficientPosition, InsufficientFunds.
#pragma once
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "book.h"
#include "money.h"

namespace tvx::sandbox::engine {

enum class Market : std::uint8_t { Derivatives, Equity };
enum class PositionMode : std::uint8_t { Open, Close, Auto };
enum class Refusal : std::uint8_t { None, NotAllowed, BadVolume, InsufficientPosition, InsufficientFunds };

inline constexpr OrderId kNoOrder = INT64_MIN;
inline constexpr std::int64_t kRecordMax = INT32_MAX;  // largest volume a record field holds

struct Rates {
    Rate brokerage{15, 10000};       // 0.15%
    Rate trading{5, 100000};         // 0.005%
    Rate clearing{1, 100000};        // 0.001%
    Rate buy_reserve{10016, 10000};  // what an equity buy sets aside, fees included
    Rate credit_margin{1, 2};        // credit-balance accounts: initial margin of the long market value
};

struct InstrumentTerms {
    Market market = Market::Equity;
    std::int64_t multiplier = 1;  // whole currency per point
    Money im, mm;                 // derivatives margins per contract
    Px ceiling = 0;               // the day's highest price: MARKET buy holds, and the bound of every fill's value
};

struct Position {
    // Derivatives.
    std::int64_t long_qty = 0, short_qty = 0;
    Wide long_cost = 0, short_cost = 0;  // sum of price x contracts (units, no multiplier)
    std::int64_t start_long = 0, start_short = 0;
    Px start_long_price = 0, start_short_price = 0;
    std::int64_t open_long = 0, open_short = 0, close_long = 0, close_short = 0;  // contracts since the day's start
    // Equity.
    std::int64_t volume = 0, start_volume = 0;
    Wide cost = 0;  // sum of price x shares
    Px start_price = 0;
    Money realized;
    bool listed = false;  // seeded or traded: the position lists show it (holds alone do not)

    // Held by open orders, by the order's side (index: Side).
    std::int64_t close_reserved[2] = {0, 0};  // CLOSE orders, pending ones included
    std::int64_t open_orders[2] = {0, 0};     // active OPEN orders
    std::int64_t auto_orders[2] = {0, 0};     // active AUTO orders
    std::int64_t sell_held = 0;               // equity: shares of open sells

    double long_avg() const;  // price, 0 when flat
    double short_avg() const;
    double avg() const;  // equity
    // Contracts an order on `side` may close: the opposite position not reserved.
    std::int64_t closable(Side side) const;
    // Contracts of open orders on `side` that would open a position.
    std::int64_t opening(Side side) const;
    std::int64_t available_long() const { return long_qty - close_reserved[1]; }
    std::int64_t available_short() const { return short_qty - close_reserved[0]; }
    std::int64_t available_volume() const { return volume - sell_held; }
};

struct Account {
    Market market;
    Money cash, credit;              // credit: derivatives credit line / equity credit limit
    Money start_cash, start_credit;  // as set up
    bool credit_balance = false;     // equity CREDIT_BALANCE
    bool can_buy = true, can_sell = true;
    std::map<int, Position> positions;  // by instrument
    Wide buy_held = 0;                  // equity: hold price x remaining of open buys
};

struct OrderTerms {
    int account;
    int inst;
    Side side;
    PositionMode mode = PositionMode::Open;  // derivatives
    Px hold_price = 0;                       // limit price; 0 for MARKET (equity buys then hold at the day's ceiling)
    std::int64_t volume = 0;                 // what remains to match (> 0)
    bool pending = false;                    // a stop order still waiting for its trigger
};

// The outcome of a check, with what a refusal message needs.
struct Verdict {
    Refusal refusal = Refusal::None;
    std::int64_t need = 0;       // the order's volume
    std::int64_t opening = 0;    // derivatives: contracts it would open
    std::int64_t available = 0;  // InsufficientPosition: what could be closed or sold
    Money required, power;       // InsufficientFunds: margin or cost against what is there
    bool ok() const { return refusal == Refusal::None; }
};

// One fill as booked. Derivatives: `closed` contracts closed (realized P&L into
// cash), then `opened`; one trade record each. Equity: fees and cash change.
struct FillReport {
    int account, inst;
    Side side;
    Market market;
    std::int64_t volume;
    std::int64_t closed = 0, opened = 0;
    Money value;  // price x volume x multiplier
    Money realized;
    Money brokerage, trading, clearing;
    Money cash_change;
    std::int64_t remaining = 0;  // the order's volume still open after it
};

struct DerivativesFigures {
    Money unrealized, equity, total_mr, total_mm, excess, call_force_margin;
    char flag;  // 'N', 'C' or 'F'
};
struct EquityFigures {
    Money reserved;      // held by open buys, buy reserve included
    Money buying_power;  // cash + credit limit - reserved
    Money long_market_value, liabilities, equity_balance, margin_im;
};

class Ledger {
   public:
    explicit Ledger(Rates r = {}) : rates_(r) {}
    const Rates& rates() const { return rates_; }

    // Instruments: dense caller indexes; terms must be set before use.
    void set_instrument(int inst, const InstrumentTerms& t);
    const InstrumentTerms& terms(int inst) const { return instruments_[inst].terms; }
    // The market price positions are valued at (last trade, or reference before
    // any): set it before positions or orders exist.
    void set_mark(int inst, Px price);
    Px mark(int inst) const { return instruments_[inst].mark; }

    // Accounts: returns the account's index.
    int add_derivatives_account(Money cash, Money credit_line);
    int add_equity_account(Money cash, Money credit_limit, bool credit_balance);
    void set_cash(int account, Money cash, Money credit);  // the start figures too
    void set_permissions(int account, bool can_buy, bool can_sell);
    // A starting position (replaces the instrument's position, start figures too).
    void seed_derivatives(int account, int inst, std::int64_t long_qty, Px long_price, std::int64_t short_qty,
                          Px short_price);
    void seed_equity(int account, int inst, std::int64_t volume, Px price);
    const Account& account(int a) const { return accounts_[a]; }
    std::size_t accounts() const { return accounts_.size(); }
    const Position* position(int account, int inst) const;

    // Orders.
    // Whether the account can carry `o` besides its other orders; `replacing`:
    // an order whose holds `o` would take over (a change), left out.
    Verdict check(const OrderTerms& o, OrderId replacing = kNoOrder) const;
    // Stored with hold_price resolved (see above).
    void place(OrderId id, const OrderTerms& o);
    void replace(OrderId id, const OrderTerms& o);
    // A pending stop order's check when it triggers, then its move to active.
    Verdict check_activation(OrderId id) const;
    void activate(OrderId id);
    void remove(OrderId id);
    // A trade of order `id` at a price within the day's limits (at most the
    // ceiling). Volume is capped at the order's remaining; an unknown order or a
    // volume <= 0 books nothing (an empty report).
    FillReport fill(OrderId id, Px price, std::int64_t volume);
    const OrderTerms* order(OrderId id) const;
    std::size_t open_orders() const { return orders_.size(); }

    // Figures, over the account's positions only.
    DerivativesFigures derivatives_figures(int account) const;
    EquityFigures equity_figures(int account) const;

    // A new trading day: the positions' start figures become the current ones
    // and their open/close counters restart (cash, realized P&L and orders stay).
    void new_day();

   private:
    struct Inst {
        InstrumentTerms terms;
        Px mark = 0;
    };
    Rates rates_;
    std::vector<Inst> instruments_;
    std::vector<Account> accounts_;
    struct Held {
        OrderTerms terms;
        bool at_ceiling;  // a MARKET order: hold_price is the day's ceiling
    };
    std::unordered_map<OrderId, Held> orders_;

    struct Sums {
        Wide unrealized = 0, mr = 0, mm = 0, value = 0;  // value: equity long market value
    };
    void hold(const OrderTerms& o, int sign);
    Px hold_price(const OrderTerms& o) const;
    Sums sums(const Account& a, int inst, const Position* p) const;
    Verdict check_derivatives(const OrderTerms& o, const OrderTerms* old) const;
    Verdict check_equity(const OrderTerms& o, const OrderTerms* old) const;
};

}  // namespace tvx::sandbox::engine
