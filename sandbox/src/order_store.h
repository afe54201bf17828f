// The orders of a world and their fills: every order ever placed, found by its
// number or its account, the numbers the exchange hands out, and the day's
// order lists. It keeps records; the rules that change them are the
// exchange's. Not thread-safe: the world's lock.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "book.h"
#include "vocabulary.h"

namespace tvx::sandbox {

using Px = engine::Px;

namespace naming {
inline constexpr const char* kDerivativesExchange = "DX";  // exchange order numbers: DX000000001
inline constexpr const char* kEquityExchange = "EX";       // EX000000001
}  // namespace naming

enum class Status { Pending, Open, Partial, Matched, Cancelled, Expired, Rejected };
std::string status_text(Status s);

struct Order {
    Market market;
    std::int32_t dno = 0;  // derivatives order number
    std::string eno;       // equity order number
    std::string account;
    int inst;
    Side side;
    PositionMode position = PositionMode::Open;
    PriceType type;
    Validity validity;
    Px price = 0;
    int qty = 0, matched = 0, cancelled = 0;
    Status status = Status::Open;
    int reject_code = 0;
    std::string reject_reason;
    std::string entered_by, cancelled_by;
    std::int64_t entry_t = 0, cancel_t = 0, update_t = 0;
    int version = 1;
    int iceberg = 0;
    bool nvdr = false;
    std::string trustee = "1", order_type = "NORMAL";
    bool stop = false;  // a stop order: waits in its trigger instrument's book while pending
    Trigger trigger = Trigger::LastPaidOrHigher;
    int trigger_inst = -1;
    Px trigger_price = 0;
    engine::StopHandle stop_handle{};
    std::string exchange_no;
    bool trade_report = false;
    bool in_book = false;
    engine::Handle handle;   // its place in the book while in_book
    std::int64_t ahead = 0;  // replay: volume queued before it at its price
    Px hold = 0;             // MARKET buy without a band: the price its hold was made at

    int remaining() const { return qty - matched - cancelled; }
    bool active() const { return status == Status::Pending || status == Status::Open || status == Status::Partial; }
    std::string number() const { return market == Market::Derivatives ? std::to_string(dno) : eno; }
};
// LONG/SHORT for derivatives, BUY/SELL for equity.
const char* side_text(const Order& o);

struct Fill {
    Market market;
    std::string account;
    int order;
    int inst;
    Side side;
    bool close = false;  // derivatives: this part closed a position
    Px px;
    int qty;
    std::string deal_no, trade_no, entered_by, trustee, trade_type;
    std::int64_t t;
    int ledger_seq = 0;
    engine::Money brokerage, trading, clearing;  // equity fees
};

class OrderStore {
   public:
    // Numbers, each series counting up from its start. A derivatives number
    // is 0 once the 32-bit range is used up.
    std::int32_t take_derivatives_number();
    std::int64_t derivatives_numbers_left() const { return INT32_MAX - std::int64_t{next_dno_}; }
    std::string take_equity_number();            // EQ00000001
    std::string take_exchange_number(Market m);  // DX000000001, EX000000001
    std::string take_deal_number();              // DL00000001
    std::string take_trade_number();             // TR00000001

    // Stores an order numbered already (dno or eno set), lists it among the
    // day's orders of its account; its index.
    int add(Order o);
    std::size_t size() const { return orders_.size(); }
    Order& operator[](std::size_t i) { return orders_[i]; }
    const Order& operator[](std::size_t i) const { return orders_[i]; }
    auto begin() const { return orders_.begin(); }
    auto end() const { return orders_.end(); }
    // -1 when none.
    int find_derivatives(std::int32_t no) const;
    int find_equity(const char* no) const;  // ASCII case ignored

    // The day's orders of an account, oldest first (null for none).
    const std::vector<int>* of_account(const std::string& account) const;
    // Order `i` now belongs to account `to` (its number stays).
    void move(int i, const std::string& to);
    // The day's orders, oldest first: [day_first(), size()).
    std::size_t day_first() const { return day_first_; }
    // A new day: the lists hold the orders still active, which count as today's.
    void new_day();

    void add_fill(Fill f);
    const std::vector<Fill>& fills() const { return fills_; }
    // Indexes into fills() of the account's fills, oldest first (null for none).
    const std::vector<std::size_t>* fills_of(const std::string& account) const;

   private:
    struct NoCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::deque<Order> orders_;
    std::map<std::int32_t, int> derivatives_;
    std::map<std::string, int, NoCase> equity_;
    std::map<std::string, std::vector<int>> by_account_;
    std::vector<Fill> fills_;
    std::map<std::string, std::vector<std::size_t>> fills_by_account_;
    std::size_t day_first_ = 0;
    std::int32_t next_dno_ = 1000001;
    std::uint64_t next_eno_ = 1, next_exchange_no_ = 1, next_deal_ = 1, next_trade_ = 1;
};

}  // namespace tvx::sandbox
