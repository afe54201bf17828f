// The exchange alone, with its own order store, ledger and books and a sink
// that records what it is told: numbering and lookups of placed orders, a stop
// order waiting in its trigger instrument's book (across a new band's book)
// until a trade meets it, and what the ledger holds through an order's life
// (placed, changed, partly filled, cancelled, expired; a stop that waits, then
// enters), checked against the figures after every step.
#include <map>
#include <string>
#include <vector>

#include "../../sandbox/src/sessions.h"
#include "../../sandbox/src/exchange.h"
#include "check.h"

using namespace tvx::sandbox;
using engine::Money;

namespace {

constexpr Px P(double currency) { return static_cast<Px>(currency * kPxScale + 0.5); }

struct Sink final : ExchangeSink {
    std::vector<Px> last;
    std::vector<Px> reference;
    std::vector<std::string> events;  // "EVENT order"
    std::vector<std::pair<int, Px>> prints;
    int book_changes = 0, replaced = 0;

    int instrument_index(const char* symbol) const override {
        const std::string s = symbol ? symbol : "";
        return s == "AAA" ? 0 : s == "FUT" ? 1 : s == "IDX" ? 2 : -1;
    }
    bool may_see(const User& u, const std::string& owner) const override { return u.id == owner; }
    Px last_price(int inst) const override { return last[inst]; }
    Px mark(int inst) const override { return last[inst] ? last[inst] : reference[inst]; }
    void traded(int inst, Px px, int qty) override {
        last[inst] = px;
        prints.emplace_back(inst, px);
        (void)qty;
    }
    void book_changed(int) override { ++book_changes; }
    void book_replaced(int) override { ++replaced; }
    void quote_taken(int) override {}
    void quote_rested(int, engine::Handle) override {}
    bool from_history(int) override { return false; }
    void order_noted(int order, const char* event, Px, int) override {
        events.push_back(std::string(event) + " " + std::to_string(order));
    }
};

// Two equity-like instruments' worth of world: AAA (equity, tick 0.01, band
// 7 to 13), FUT (derivatives, tick 1, band 700 to 1300), IDX (derivatives,
// the trigger of FUT's stops).
struct World {
    OrderStore orders;
    engine::Ledger ledger;
    std::vector<Instrument> instruments;
    std::map<std::string, DerivativesAccountState> derivatives;
    std::map<std::string, EquityAccountState> equity;
    std::int64_t now = 1000;
    bool in_session = true;
    Sink sink;
    Exchange ex{orders, ledger, instruments, derivatives, equity, now, in_session, sink};
    User alice{"alice", "", "b1", "", Role::Investor}, bob{"bob", "", "b1", "", Role::Investor};

    World() {
        add("AAA", Market::Equity, P(0.01), P(10), P(7), P(13));
        add("FUT", Market::Derivatives, P(1), P(1000), P(700), P(1300));
        add("IDX", Market::Derivatives, P(1), P(1000), P(700), P(1300));
        equity["E-1"] = EquityAccountState{"E-1", "alice"};
        equity["E-1"].id = ledger.add_equity_account(Money::of(10000), Money{}, false);
        equity["E-2"] = EquityAccountState{"E-2", "bob"};
        equity["E-2"].id = ledger.add_equity_account(Money::of(10000), Money{}, false);
        ledger.seed_equity(equity["E-2"].id, 0, 1000, P(9));
        derivatives["D-1"] = DerivativesAccountState{"D-1", "alice"};
        derivatives["D-1"].id = ledger.add_derivatives_account(Money::of(100000), Money{});
        derivatives["D-2"] = DerivativesAccountState{"D-2", "bob"};
        derivatives["D-2"].id = ledger.add_derivatives_account(Money::of(100000), Money{});
    }
    void add(const char* symbol, Market m, Px tick, Px ref, Px floor, Px ceiling) {
        Instrument in{};
        in.symbol = symbol;
        in.market = m;
        in.fixed_tick = tick;
        in.reference = ref, in.floor = floor, in.ceiling = ceiling;
        instruments.push_back(in);
        const int i = static_cast<int>(instruments.size()) - 1;
        sink.last.push_back(0), sink.reference.push_back(ref);
        ledger.set_instrument(i, engine::InstrumentTerms{m, 1, Money::of(m == Market::Derivatives ? 100 : 0),
                                                         Money::of(m == Market::Derivatives ? 70 : 0), ceiling});
        ledger.set_mark(i, ref);
        ex.make_book(i);
    }
    Verdict place(const char* account, const char* symbol, const char* side, double price, int volume,
                  const char* validity = "DAY", const char* trigger = "", double trigger_price = 0,
                  const char* trigger_symbol = "") {
        const bool deriv = account[0] == 'D';
        Exchange::Placement p{deriv ? Market::Derivatives : Market::Equity,
                              account,
                              account[2] == '1' ? "alice" : "bob",
                              symbol,
                              side,
                              deriv ? "OPEN" : "",
                              price > 0 ? "LIMIT" : "MARKET",
                              validity,
                              price,
                              volume,
                              true};
        p.trigger_condition = trigger, p.trigger_price = trigger_price, p.trigger_symbol = trigger_symbol;
        return ex.place(p);
    }
    // What account E-1's open buys hold back, in units of price x shares.
    engine::Wide buy_held() const { return ledger.account(equity.at("E-1").id).buy_held; }
    Money margin(const char* account) const { return ledger.derivatives_figures(derivatives.at(account).id).total_mr; }
};

void numbering_and_lookups() {
    check::context = "numbering";
    World w;
    const Verdict a = w.place("E-1", "AAA", "BUY", 9.5, 100);
    const Verdict b = w.place("D-1", "FUT", "LONG", 990, 2);
    const Verdict bad = w.place("E-1", "AAA", "BUY", 9.505, 100);  // off the tick grid
    CHECK(a.ok && b.ok && !bad.ok && bad.code == "BAD_PRICE" && w.orders.size() == 2);
    CHECK(w.orders[a.order].eno == "EQ00000001" && w.orders[a.order].exchange_no == "EX000000001");
    CHECK(w.orders[b.order].dno == 1000001 && w.orders[b.order].exchange_no == "DX000000002");
    CHECK(w.orders.find_equity("eq00000001") == a.order && w.orders.find_derivatives(1000001) == b.order);
    CHECK((*w.orders.of_account("E-1") == std::vector<int>{a.order}) && w.orders.of_account("E-2") == nullptr);
    CHECK(w.instruments[0].book->best_bid() == P(9.5) && w.orders[a.order].in_book);
    CHECK((w.sink.events == std::vector<std::string>{"NEW 0", "NEW 1"}));

    check::context = "a trade";
    const Verdict s = w.place("E-2", "AAA", "SELL", 9.4, 30);  // takes 30 at the resting 9.50
    CHECK(s.ok && w.orders[a.order].status == Status::Partial && w.orders[a.order].matched == 30);
    CHECK(w.orders[s.order].status == Status::Matched && w.orders.fills().size() == 2);
    CHECK(w.orders.fills()[0].deal_no == "DL00000001" && w.orders.fills()[1].deal_no == "DL00000001" &&
          w.orders.fills()[0].trade_no == "TR00000001" && w.orders.fills()[1].trade_no == "TR00000002");
    CHECK(w.sink.prints.size() == 1 && w.sink.prints[0].second == P(9.5));
    CHECK((*w.orders.fills_of("E-2") == std::vector<std::size_t>{1}));
}

void stops_through_the_book() {
    check::context = "stop";
    World w;
    // FUT's stop buy triggers on IDX at 1010 or higher; it holds no margin while it waits.
    const Verdict stop = w.place("D-1", "FUT", "LONG", 1000, 3, "DAY", "last_paid_or_higher", 1010, "IDX");
    CHECK(stop.ok && w.orders[stop.order].status == Status::Pending && w.orders[stop.order].stop);
    CHECK(w.orders[stop.order].trigger == Trigger::LastPaidOrHigher && w.orders[stop.order].exchange_no.empty());
    CHECK(w.instruments[2].book->stop_count() == 1 && w.instruments[1].book->stop_count() == 0);
    CHECK(w.margin("D-1") == Money{} && w.ledger.order(stop.order)->pending);
    const Verdict wrong = w.place("D-1", "FUT", "LONG", 1000, 3, "DAY", "LAST_PAID_ABOVE", 1010, "IDX");
    CHECK(!wrong.ok && wrong.code == "BAD_TRIGGER");

    // A new band's book for IDX keeps the stop.
    w.instruments[2].floor = P(800), w.instruments[2].ceiling = P(1200);
    w.ex.make_book(2);
    CHECK(w.instruments[2].book->stop_count() == 1 && w.sink.replaced == 4);

    // A trade at 1005 does not meet it; one at 1010 does: it enters FUT's book and holds margin.
    CHECK(w.place("D-2", "IDX", "SHORT", 1005, 1).ok && w.place("D-1", "IDX", "LONG", 1005, 1).ok);
    CHECK(w.orders[stop.order].status == Status::Pending && w.sink.last[2] == P(1005));
    CHECK(w.place("D-2", "IDX", "SHORT", 1010, 1).ok && w.place("D-1", "IDX", "LONG", 1010, 1).ok);
    const Order& o = w.orders[stop.order];
    CHECK(o.status == Status::Open && o.in_book && !o.exchange_no.empty() && !w.ledger.order(stop.order)->pending);
    CHECK(w.instruments[2].book->stop_count() == 0 && w.instruments[1].book->best_bid() == P(1000));
    CHECK(w.margin("D-1") == Money::of(100 * (2 + 3)));  // two IDX contracts held, three FUT opening
    CHECK(w.sink.events.back() == "ACTIVATE " + std::to_string(stop.order));

    check::context = "stop cancelled, expired";
    const Verdict low = w.place("D-1", "FUT", "SHORT", 990, 1, "DAY", "LAST_PAID_OR_LOWER", 900, "IDX");
    const Verdict low2 = w.place("D-1", "FUT", "SHORT", 990, 1, "DAY", "LAST_PAID_OR_LOWER", 950, "IDX");
    CHECK(low.ok && low2.ok && w.instruments[2].book->stop_count() == 2);
    CHECK(w.ex.cancel(low.order, w.alice).ok && w.instruments[2].book->stop_count() == 1);
    w.ex.expire(low2.order, "the session closed");
    CHECK(w.instruments[2].book->stop_count() == 0 && w.orders[low2.order].status == Status::Expired);
    CHECK(w.ledger.order(low.order) == nullptr && w.ledger.order(low2.order) == nullptr);
    // Neither goes when the price falls through its trigger afterwards.
    CHECK(w.place("D-2", "IDX", "LONG", 800, 1).ok && w.place("D-1", "IDX", "SHORT", 800, 1).ok);
    CHECK(w.orders[low.order].status == Status::Cancelled && w.orders[low2.order].status == Status::Expired);

    check::context = "stop met already";
    const Verdict now = w.place("D-1", "FUT", "LONG", 1000, 1, "DAY", "LAST_PAID_OR_LOWER", 900, "IDX");
    CHECK(now.ok && w.orders[now.order].status == Status::Open && w.instruments[2].book->stop_count() == 0);
}

void holds_through_the_life_cycle() {
    check::context = "holds";
    World w;
    const auto units = [](double price, int shares) { return static_cast<engine::Wide>(P(price)) * shares; };
    const Verdict a = w.place("E-1", "AAA", "BUY", 9.5, 100);
    CHECK(a.ok && w.buy_held() == units(9.5, 100));
    // A change of volume, then of price: the hold follows the order as it is.
    Exchange::Change c;
    c.volume = 60;
    CHECK(w.ex.change(a.order, c, w.alice).ok && w.buy_held() == units(9.5, 60));
    c = {};
    c.price = 9.6;
    CHECK(w.ex.change(a.order, c, w.alice).ok && w.buy_held() == units(9.6, 60));
    // A partial fill releases what it matched.
    CHECK(w.place("E-2", "AAA", "SELL", 9.6, 20).ok);
    CHECK(w.orders[a.order].remaining() == 40 && w.buy_held() == units(9.6, 40));
    CHECK(w.ledger.order(a.order)->volume == 40);
    // A cancel releases the rest; nothing of it stays in the ledger.
    CHECK(w.ex.cancel(a.order, w.alice).ok && w.buy_held() == 0 && w.ledger.order(a.order) == nullptr);
    CHECK(!w.ex.cancel(a.order, w.alice).ok);

    check::context = "expiry";
    const Verdict b = w.place("E-1", "AAA", "BUY", 9.0, 50);
    const Verdict ioc = w.place("E-1", "AAA", "BUY", 9.1, 50, "IOC");  // nothing to take: expires at once
    CHECK(b.ok && ioc.ok && w.orders[ioc.order].status == Status::Expired && w.buy_held() == units(9.0, 50));
    w.ex.expire(b.order, "the session closed");
    CHECK(w.buy_held() == 0 && w.ledger.open_orders() == 0 && !w.instruments[0].book->best_bid());
    CHECK(w.orders[b.order].reject_reason == "the session closed" && w.orders[b.order].cancelled == 50);

    check::context = "market order";
    // A MARKET buy holds at the ceiling until it is done; what it cannot match expires.
    CHECK(w.place("E-2", "AAA", "SELL", 10.0, 30).ok);
    const Verdict m = w.place("E-1", "AAA", "BUY", 0, 50);
    CHECK(m.ok && w.orders[m.order].matched == 30 && w.orders[m.order].status == Status::Expired);
    CHECK(w.buy_held() == 0 && w.ledger.open_orders() == 0);
    // 20 at 9.60 cost 192.00 + 0.29 + 0.01 + 0.00, 30 at 10.00 cost 300.00 + 0.45 + 0.02 + 0.00.
    CHECK(w.ledger.account(w.equity["E-1"].id).cash == Money::of(9507.23));

    check::context = "refused change";
    const Verdict big = w.place("E-1", "AAA", "BUY", 9.0, 100);
    c = {};
    c.volume = 100000;  // beyond the money: the order and its hold stay as they were
    const Verdict v = w.ex.change(big.order, c, w.alice);
    CHECK(!v.ok && v.code == "INSUFFICIENT_FUNDS" && w.buy_held() == units(9.0, 100) && w.orders[big.order].qty == 100);
}

}  // namespace

int main() {
    numbering_and_lookups();
    stops_through_the_book();
    holds_through_the_life_cycle();
    CHECK_DONE();
}
