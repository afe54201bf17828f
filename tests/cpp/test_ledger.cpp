// The ledger alone (with books to make its fills): exact fees and cash, cost
// and realized P&L, buying power and margin at their exact limits, AUTO
// decided at fill time, stop CLOSE reservations, refusal before overflow, and
// a seeded random run in which, after every action, every figure is compared
// with one recomputed from scratch (fills replayed from the seeds, holds by
// scanning every order ever placed).
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../../sandbox/src/book.h"
#include "../../sandbox/src/ledger.h"
#include "check.h"

using namespace tvx::sandbox::engine;

namespace {

constexpr Px P(double currency) { return static_cast<Px>(currency * 10000 + (currency >= 0 ? 0.5 : -0.5)); }
Money M(double currency) { return Money::of(currency); }
long long U(Money m) { return m.units; }

// ------------------------------------------------------------ exact money
void fees_cash_and_cost() {
    check::context = "equity money";
    CHECK_EQ(U(fee(M(5550), Rate{15, 10000})), U(M(8.33)));   // 8.325: a tie, up
    CHECK_EQ(U(fee(M(15210), Rate{15, 10000})), U(M(22.82))); // 22.815
    CHECK_EQ(U(fee(M(5550), Rate{5, 100000})), U(M(0.28)));   // 0.2775
    CHECK_EQ(U(fee(M(5550), Rate{1, 100000})), U(M(0.06)));   // 0.0555
    CHECK_EQ(U(fee(M(5549.99), Rate{15, 10000})), U(M(8.32)));
    CHECK(M(-0.005).text() == "-0.01" && M(0.0049).text() == "0.00" && M(1234.5).text() == "1234.50");
    CHECK(M(446599.54).rounded() == 446599.54 && M(504120.0000001).rounded() == 504120.0);

    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(60)});
    l.set_mark(0, P(55.5));
    const int a = l.add_equity_account(M(200000), M(0), false);
    l.place(1, OrderSpec{a, 0, Side::Buy, PositionMode::Open, P(55.5), 100});
    FillReport r = l.fill(1, P(55.5), 100);
    CHECK(U(r.value) == U(M(5550)) && U(r.brokerage) == U(M(8.33)) && U(r.trading) == U(M(0.28)) &&
          U(r.clearing) == U(M(0.06)));
    CHECK_EQ(U(l.account(a).cash), U(M(194441.33)));
    CHECK(l.order(1) == nullptr && l.open_orders() == 0);
    // Cost: 5,550 + 11,200 for 300; selling 100 takes a third of it, rounded to the unit; the rest goes with the last.
    l.place(2, OrderSpec{a, 0, Side::Buy, PositionMode::Open, P(56), 200});
    l.fill(2, P(56), 200);
    l.place(3, OrderSpec{a, 0, Side::Sell, PositionMode::Open, P(57), 300});
    r = l.fill(3, P(57), 100);
    CHECK_EQ(U(r.realized), 1166667);  // 5,700 - 5,583.3333
    CHECK_EQ(r.remaining, 200);
    CHECK_EQ(l.position(a, 0)->available_volume(), 0);
    r = l.fill(3, P(57), 200);
    CHECK_EQ(U(l.position(a, 0)->realized), U(M(350)));
    CHECK(l.position(a, 0)->volume == 0 && l.position(a, 0)->cost == 0 && l.position(a, 0)->listed);
}

void buying_power_and_shares() {
    check::context = "buying power";
    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(130)});
    l.set_mark(0, P(100));
    const int a = l.add_equity_account(M(10016), M(0), false);
    // 100 x 100.00 x 1.0016 is exactly what there is.
    OrderSpec buy{a, 0, Side::Buy, PositionMode::Open, P(100), 100};
    CHECK(l.check(buy).ok());
    OrderSpec dear = buy;
    dear.hold_price = P(100.25);
    Verdict v = l.check(dear);
    CHECK(v.refusal == Refusal::InsufficientFunds && U(v.required) == U(M(10041.04)) && U(v.power) == U(M(10016)));
    l.place(1, buy);
    EquityFigures f = l.equity_figures(a);
    CHECK(U(f.reserved) == U(M(10016)) && f.buying_power.units == 0);
    // A change may use what the order itself holds; another order may not.
    CHECK(l.check(buy, 1).ok() && !l.check(dear, 1).ok() && !l.check(buy).ok());
    OrderSpec market = buy;
    market.hold_price = 0;  // holds at the ceiling
    l.replace(1, OrderSpec{a, 0, Side::Buy, PositionMode::Open, P(50), 100});
    v = l.check(market);
    CHECK(v.refusal == Refusal::InsufficientFunds && U(v.required) == U(M(13020.80)) && U(v.power) == U(M(5008)));
    l.remove(1);
    CHECK(l.equity_figures(a).buying_power == M(10016) && l.open_orders() == 0);
    // Shares: open sells hold theirs; permissions come first.
    l.seed_equity(a, 0, 500, P(90));
    l.place(2, OrderSpec{a, 0, Side::Sell, PositionMode::Open, P(101), 300});
    v = l.check(OrderSpec{a, 0, Side::Sell, PositionMode::Open, P(101), 300});
    CHECK(v.refusal == Refusal::InsufficientPosition && v.available == 200);
    CHECK(l.check(OrderSpec{a, 0, Side::Sell, PositionMode::Open, P(101), 500}, 2).ok());
    l.set_permissions(a, true, false);
    CHECK(l.check(OrderSpec{a, 0, Side::Sell, PositionMode::Open, P(101), 100}).refusal == Refusal::NotAllowed);
    f = l.equity_figures(a);
    CHECK(U(f.long_market_value) == U(M(50000)) && U(f.equity_balance) == U(M(60016)) && f.margin_im.units == 0);
    // Credit balance: half the long market value; a loan shows as liabilities.
    const int c = l.add_equity_account(M(-1000), M(5000), true);
    l.seed_equity(c, 0, 101, P(10));
    f = l.equity_figures(c);
    CHECK(U(f.margin_im) == U(M(5050)) && U(f.liabilities) == U(M(1000)) && U(f.buying_power) == U(M(4000)));
}

// -------------------------------------------------------------- derivatives
Ledger futures(int& a, int& b) {
    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Derivatives, 200, M(12000), M(8400), P(1100)});
    l.set_instrument(1, InstrumentTerms{Market::Derivatives, 1, M(10), M(7), P(2000)});
    l.set_mark(0, P(1000));
    l.set_mark(1, P(1000));
    a = l.add_derivatives_account(M(500000), M(0));
    b = l.add_derivatives_account(M(500000), M(0));
    return l;
}

void auto_decides_at_fill() {
    check::context = "auto";
    int a, b;
    Ledger l = futures(a, b);
    // A resting SELL AUTO placed while flat holds margin for opening...
    const OrderSpec sell{a, 0, Side::Sell, PositionMode::Auto, 0, 1};
    CHECK(l.check(sell).opening == 1);
    l.place(1, sell);
    CHECK_EQ(U(l.derivatives_figures(a).total_mr), U(M(12000)));
    // ...until a long appears, which it would close instead.
    l.place(2, OrderSpec{a, 0, Side::Buy, PositionMode::Open, 0, 1});
    l.place(3, OrderSpec{b, 0, Side::Sell, PositionMode::Open, 0, 1});
    l.fill(2, P(1000), 1);
    l.fill(3, P(1000), 1);
    CHECK_EQ(U(l.derivatives_figures(a).total_mr), U(M(12000)));
    l.place(4, OrderSpec{b, 0, Side::Buy, PositionMode::Close, 0, 1});
    l.set_mark(0, P(1010));
    FillReport r = l.fill(1, P(1010), 1);
    l.fill(4, P(1010), 1);
    CHECK(r.closed == 1 && r.opened == 0 && U(r.realized) == U(M(2000)));
    const Position* p = l.position(a, 0);
    CHECK(p->long_qty == 0 && p->short_qty == 0 && p->close_long == 1 && p->open_long == 1);
    DerivativesFigures f = l.derivatives_figures(a);
    CHECK(f.total_mr.units == 0 && U(f.equity) == U(M(502000)) && U(l.account(a).cash) == U(M(502000)));
    CHECK(l.position(b, 0)->short_qty == 0 && U(l.account(b).cash) == U(M(498000)));
    // An AUTO larger than the position closes it and opens the rest, in one fill.
    l.seed_derivatives(a, 0, 2, P(990), 0, 0);
    l.place(5, OrderSpec{a, 0, Side::Sell, PositionMode::Auto, 0, 5});
    CHECK_EQ(U(l.derivatives_figures(a).total_mr), U(M(12000 * 5)));  // 2 held + 3 opening
    r = l.fill(5, P(1000), 5);
    CHECK(r.closed == 2 && r.opened == 3 && U(r.realized) == U(M(4000)) && l.position(a, 0)->short_qty == 3);
    CHECK_EQ(l.position(a, 0)->short_avg(), 1000.0);
}

void margin_limits_and_flags() {
    check::context = "margin";
    int a, b;
    Ledger l = futures(a, b);
    const int c = l.add_derivatives_account(M(20000), M(4000));
    // Margin needs excess equity plus the credit line, exactly.
    Verdict v = l.check(OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 2});
    CHECK(v.ok() && v.opening == 2 && U(v.required) == U(M(24000)) && U(v.power) == U(M(24000)));
    l.place(1, OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 2});
    v = l.check(OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 1});
    CHECK(v.refusal == Refusal::InsufficientFunds && U(v.power) == 0 && U(v.required) == U(M(12000)));
    CHECK(l.check(OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 2}, 1).ok());
    CHECK(!l.check(OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 3}, 1).ok());
    l.fill(1, P(1000), 2);
    struct Case {
        double mark;
        char flag;
        double equity, call;
    };
    for (const Case k : {Case{1000, 'N', 20000, 0}, Case{992, 'N', 16800, 0}, Case{991.9, 'C', 16760, 7240},
                         Case{971, 'C', 8400, 15600}, Case{970.9, 'F', 8360, 15640}}) {
        l.set_mark(0, P(k.mark));
        const DerivativesFigures f = l.derivatives_figures(c);
        CHECK(f.flag == k.flag && U(f.equity) == U(M(k.equity)) && U(f.call_force_margin) == U(M(k.call)));
        CHECK(U(f.total_mm) == U(M(16800)) && U(f.total_mr) == U(M(24000)) && U(f.excess) == U(M(k.equity - 24000)));
    }
}

void stop_close_reserves() {
    check::context = "stop close";
    int a, b;
    Ledger l = futures(a, b);
    l.seed_derivatives(a, 0, 2, P(990), 0, 0);
    const OrderSpec stop{a, 0, Side::Sell, PositionMode::Close, 0, 2, true};
    CHECK(l.check(stop).ok());
    l.place(1, stop);
    Verdict v = l.check(OrderSpec{a, 0, Side::Sell, PositionMode::Close, 0, 1});
    CHECK(v.refusal == Refusal::InsufficientPosition && v.available == 0);
    CHECK(l.position(a, 0)->available_long() == 0);
    // An AUTO sell cannot take the reserved contracts: it opens a short.
    l.place(2, OrderSpec{a, 0, Side::Sell, PositionMode::Auto, 0, 1});
    CHECK_EQ(U(l.derivatives_figures(a).total_mr), U(M(36000)));
    FillReport r = l.fill(2, P(1000), 1);
    CHECK(r.closed == 0 && r.opened == 1);
    CHECK(l.check_activation(1).ok());
    l.activate(1);
    r = l.fill(1, P(1000), 2);
    CHECK(r.closed == 2 && U(r.realized) == U(M(4000)));
    const Position* p = l.position(a, 0);
    CHECK(p->long_qty == 0 && p->short_qty == 1 && p->close_reserved[1] == 0);
    // A pending OPEN stop holds nothing until it triggers, when its margin is checked.
    const int c = l.add_derivatives_account(M(12000), M(0));
    l.place(3, OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 1, true});
    l.place(4, OrderSpec{c, 0, Side::Buy, PositionMode::Open, 0, 1});
    CHECK_EQ(U(l.derivatives_figures(c).total_mr), U(M(12000)));
    CHECK(l.check_activation(3).refusal == Refusal::InsufficientFunds);
    l.remove(4);
    CHECK(l.check_activation(3).ok());
    l.remove(3);
    CHECK(l.open_orders() == 0 && l.derivatives_figures(c).total_mr.units == 0);
}

void overflow_refused() {
    check::context = "overflow";
    int a, b;
    Ledger l = futures(a, b);
    l.set_cash(a, M(1e12), M(0));
    l.set_cash(b, M(1e12), M(0));
    const std::int64_t big = INT32_MAX;
    // Two trade reports of 2^31-1 contracts: the second would not fit the position field.
    for (int k = 0; k < 2; ++k) {
        const OrderSpec mine{a, 1, Side::Buy, PositionMode::Open, 0, big}, theirs{b, 1, Side::Sell, PositionMode::Open, 0, big};
        const Verdict v1 = l.check(mine), v2 = l.check(theirs);
        if (k == 0) {
            CHECK(v1.ok() && v2.ok());
            l.place(10 + k, mine);
            l.place(20 + k, theirs);
            l.fill(10 + k, P(1000), big);
            l.fill(20 + k, P(1000), big);
        } else {
            CHECK(v1.refusal == Refusal::BadVolume && v2.refusal == Refusal::BadVolume);
        }
    }
    const Position* p = l.position(a, 1);
    CHECK(p->long_qty == big && l.derivatives_figures(a).total_mr.units > 0);
    // Closing stays possible; a day's close counter and open orders count towards the limit too.
    CHECK(l.check(OrderSpec{a, 1, Side::Sell, PositionMode::Close, 0, big}).ok());
    CHECK(l.check(OrderSpec{b, 1, Side::Sell, PositionMode::Open, 0, 1}).refusal == Refusal::BadVolume);
    // Money beyond what an account can carry: an equity order worth more than the bound.
    l.set_instrument(2, InstrumentTerms{Market::Equity, 1, {}, {}, P(1e6)});
    l.set_mark(2, P(1e6));
    const int e = l.add_equity_account(M(1e9), M(0), false);
    CHECK(l.check(OrderSpec{e, 2, Side::Buy, PositionMode::Open, P(1e6), big}).refusal == Refusal::BadVolume);
    CHECK(l.check(OrderSpec{e, 2, Side::Buy, PositionMode::Open, P(1e6), 100}).ok());
}

// ------------------------------------------------------------ random run
struct TOrder {
    OrderId id;
    OrderSpec spec;
    PriceType type;
    Validity validity;
    Px price;
    Trigger trigger;
    Px trigger_px;
    Handle handle;
    StopHandle stop;
    bool active = true;
};

struct RFill {
    OrderId id;
    Px price;
    std::int64_t volume;
    std::int64_t reserved;  // CLOSE reservations on the order's side when it filled (scanned)
};

struct Ref {
    struct Pos {
        Wide long_qty = 0, short_qty = 0, long_cost = 0, short_cost = 0, open_long = 0, open_short = 0, close_long = 0,
             close_short = 0, volume = 0, cost = 0, realized = 0;
    };
    struct Acc {
        Wide cash = 0;
        std::map<int, Pos> pos;
    };
    std::vector<Acc> seeds;
};

Wide half_up(Wide num, Wide den) { return num >= 0 ? (2 * num + den) / (2 * den) : -((-2 * num + den) / (2 * den)); }

struct Run {
    Ledger l;
    std::vector<Book> books;
    std::vector<InstrumentTerms> terms;
    std::vector<Px> marks;
    std::map<OrderId, TOrder> orders;  // every order ever placed
    std::vector<RFill> fills;
    Ref ref;
    std::mt19937_64 g;
    OrderId next = 1;
    std::vector<std::pair<int, Px>> trades;

    std::int64_t pick(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(g); }

    explicit Run(unsigned seed) : g(seed) {
        terms = {InstrumentTerms{Market::Equity, 1, {}, {}, P(58.75)}, InstrumentTerms{Market::Equity, 1, {}, {}, P(4.5)},
                 InstrumentTerms{Market::Derivatives, 200, M(12000), M(8400), P(1100)},
                 InstrumentTerms{Market::Derivatives, 1000, M(6800), M(4760), P(58.75)}};
        marks = {P(45.25), P(3.52), P(1000), P(45.25)};
        const Px units[] = {P(0.25), P(0.02), P(0.1), P(0.01)};
        for (int i = 0; i < 4; ++i) {
            l.set_instrument(i, terms[i]);
            l.set_mark(i, marks[i]);
            books.emplace_back(units[i], marks[i] * 9 / 10, marks[i] * 11 / 10);
        }
        ref.seeds.resize(4);
        auto acc = [&](int a, double cash) { ref.seeds[a].cash = M(cash).units; };
        CHECK_EQ(l.add_derivatives_account(M(500000), M(200000)), 0);
        CHECK_EQ(l.add_derivatives_account(M(120000), M(0)), 1);
        CHECK_EQ(l.add_equity_account(M(200000), M(1000000), false), 2);
        CHECK_EQ(l.add_equity_account(M(80000), M(40000), true), 3);
        acc(0, 500000), acc(1, 120000), acc(2, 200000), acc(3, 80000);
        l.seed_derivatives(0, 2, 2, P(990), 0, 0);
        ref.seeds[0].pos[2].long_qty = 2, ref.seeds[0].pos[2].long_cost = P(990) * 2;
        l.seed_derivatives(1, 3, 0, 0, 1, P(46));
        ref.seeds[1].pos[3].short_qty = 1, ref.seeds[1].pos[3].short_cost = P(46);
        l.seed_equity(2, 0, 5000, P(43.5));
        ref.seeds[2].pos[0].volume = 5000, ref.seeds[2].pos[0].cost = P(43.5) * 5000;
        l.seed_equity(3, 1, 10000, P(3.4));
        ref.seeds[3].pos[1].volume = 10000, ref.seeds[3].pos[1].cost = P(3.4) * 10000;
    }

    // ---- the reference: everything from scratch
    std::int64_t reserved(int account, int inst, Side side, OrderId skip) const {
        std::int64_t n = 0;
        for (const auto& [id, o] : orders)
            if (o.active && id != skip && o.spec.account == account && o.spec.inst == inst && o.spec.side == side &&
                o.spec.mode == PositionMode::Close && terms[inst].market == Market::Derivatives)
                n += o.spec.volume;
        return n;
    }
    std::vector<Ref::Acc> replay() const {
        std::vector<Ref::Acc> acc = ref.seeds;
        for (const RFill& f : fills) {
            const TOrder& o = orders.at(f.id);
            const InstrumentTerms& t = terms[o.spec.inst];
            Ref::Acc& a = acc[o.spec.account];
            Ref::Pos& p = a.pos[o.spec.inst];
            const bool buy = o.spec.side == Side::Buy;
            const Wide value = static_cast<Wide>(f.price) * f.volume;
            if (t.market == Market::Derivatives) {
                const Wide opposite = buy ? p.short_qty : p.long_qty;
                Wide closing = 0;
                if (o.spec.mode == PositionMode::Close) closing = std::min<Wide>(f.volume, opposite);
                if (o.spec.mode == PositionMode::Auto) closing = std::min<Wide>(f.volume, std::max<Wide>(0, opposite - f.reserved));
                Wide& qty = buy ? p.short_qty : p.long_qty;
                Wide& cost = buy ? p.short_cost : p.long_cost;
                const Wide out = closing >= qty ? cost : half_up(cost * closing, qty);
                const Wide pnl = (buy ? out - f.price * closing : f.price * closing - out) * t.multiplier;
                qty -= closing, cost -= out;
                (buy ? p.close_short : p.close_long) += closing;
                p.realized += pnl;
                a.cash += pnl;
                const Wide opening = f.volume - closing;
                (buy ? p.long_qty : p.short_qty) += opening;
                (buy ? p.long_cost : p.short_cost) += f.price * opening;
                (buy ? p.open_long : p.open_short) += opening;
            } else {
                Wide fees = 0;
                for (auto [num, den] : {std::pair<Wide, Wide>{15, 10000}, {5, 100000}, {1, 100000}})
                    fees += (2 * value * num + den * 100) / (2 * den * 100) * 100;
                if (buy) {
                    p.volume += f.volume, p.cost += value, a.cash -= value + fees;
                } else {
                    const Wide out = f.volume >= p.volume ? p.cost : half_up(p.cost * f.volume, p.volume);
                    p.realized += value - out, p.cost -= out, p.volume -= f.volume, a.cash += value - fees;
                }
            }
        }
        return acc;
    }
    struct Holds {
        Wide close[2] = {0, 0}, open[2] = {0, 0}, autos[2] = {0, 0}, sell = 0;
    };
    Holds holds(int account, int inst, OrderId skip) const {
        Holds h;
        for (const auto& [id, o] : orders) {
            if (!o.active || id == skip || o.spec.account != account || o.spec.inst != inst) continue;
            const int s = o.spec.side == Side::Buy ? 0 : 1;
            if (terms[inst].market == Market::Equity) {
                if (o.spec.side == Side::Sell) h.sell += o.spec.volume;
            } else if (o.spec.mode == PositionMode::Close) {
                h.close[s] += o.spec.volume;
            } else if (!o.spec.pending) {
                (o.spec.mode == PositionMode::Open ? h.open[s] : h.autos[s]) += o.spec.volume;
            }
        }
        return h;
    }
    Wide buy_held(int account, OrderId skip) const {
        Wide n = 0;
        for (const auto& [id, o] : orders)
            if (o.active && id != skip && o.spec.account == account && o.spec.side == Side::Buy && !o.spec.pending &&
                terms[o.spec.inst].market == Market::Equity)
                n += static_cast<Wide>(o.spec.hold_price ? o.spec.hold_price : terms[o.spec.inst].ceiling) * o.spec.volume;
        return n;
    }
    static Wide opening(const Ref::Pos& p, const Holds& h, int s) {
        const Wide opposite = s == 0 ? p.short_qty : p.long_qty;
        return h.open[s] + std::max<Wide>(0, h.autos[s] - std::max<Wide>(0, opposite - h.close[s]));
    }
    struct DFig {
        Wide unreal = 0, mr = 0, mm = 0;
    };
    DFig dfig(const Ref::Acc& a, int account, OrderId skip) const {
        DFig f;
        for (int i = 2; i < 4; ++i) {
            auto it = a.pos.find(i);
            const Ref::Pos p = it == a.pos.end() ? Ref::Pos{} : it->second;
            const Holds h = holds(account, i, skip);
            f.unreal += (marks[i] * p.long_qty - p.long_cost + p.short_cost - marks[i] * p.short_qty) * terms[i].multiplier;
            f.mr += terms[i].im.units * (p.long_qty + p.short_qty + opening(p, h, 0) + opening(p, h, 1));
            f.mm += terms[i].mm.units * (p.long_qty + p.short_qty);
        }
        return f;
    }

    void compare() {
        const std::vector<Ref::Acc> acc = replay();
        for (int a = 0; a < 4; ++a) {
            const Account& la = l.account(a);
            CHECK(la.cash.units == acc[a].cash);
            for (int i = 0; i < 4; ++i) {
                const Position* lp = l.position(a, i);
                auto it = acc[a].pos.find(i);
                const Ref::Pos p = it == acc[a].pos.end() ? Ref::Pos{} : it->second;
                const Holds h = holds(a, i, kNoOrder);
                if (!lp) {
                    CHECK(it == acc[a].pos.end() && h.sell == 0 && h.close[0] + h.close[1] + h.open[0] + h.open[1] == 0);
                    continue;
                }
                CHECK(lp->long_qty == p.long_qty && lp->short_qty == p.short_qty && lp->long_cost == p.long_cost &&
                      lp->short_cost == p.short_cost);
                CHECK(lp->open_long == p.open_long && lp->open_short == p.open_short && lp->close_long == p.close_long &&
                      lp->close_short == p.close_short);
                CHECK(lp->volume == p.volume && lp->cost == p.cost && lp->realized.units == p.realized);
                CHECK(lp->close_reserved[0] == h.close[0] && lp->close_reserved[1] == h.close[1] &&
                      lp->open_orders[0] == h.open[0] && lp->open_orders[1] == h.open[1] &&
                      lp->auto_orders[0] == h.autos[0] && lp->auto_orders[1] == h.autos[1] && lp->sell_held == h.sell);
                CHECK(lp->long_qty >= 0 && lp->short_qty >= 0 && lp->volume >= 0 && lp->available_long() >= 0 &&
                      lp->available_short() >= 0 && lp->available_volume() >= 0);
            }
            if (la.market == Market::Derivatives) {
                const DFig f = dfig(acc[a], a, kNoOrder);
                const DerivativesFigures lf = l.derivatives_figures(a);
                const Wide equity = acc[a].cash + f.unreal;
                const char flag = 2 * equity < f.mm ? 'F' : equity < f.mm ? 'C' : 'N';
                CHECK(lf.unrealized.units == f.unreal && lf.equity.units == equity && lf.total_mr.units == f.mr &&
                      lf.total_mm.units == f.mm && lf.excess.units == equity - f.mr && lf.flag == flag &&
                      lf.call_force_margin.units == (flag == 'N' ? 0 : f.mr - equity));
            } else {
                const EquityFigures lf = l.equity_figures(a);
                Wide lmv = 0;
                for (const auto& [i, p] : acc[a].pos) lmv += marks[i] * p.volume;
                const Wide reserved = half_up(buy_held(a, kNoOrder) * 10016, 10000);
                CHECK(lf.reserved.units == reserved && lf.buying_power.units == acc[a].cash + la.credit.units - reserved &&
                      lf.long_market_value.units == lmv && lf.equity_balance.units == acc[a].cash + lmv &&
                      lf.liabilities.units == std::max<Wide>(0, -acc[a].cash) &&
                      lf.margin_im.units == (la.credit_balance ? half_up(lmv, 2) : 0));
            }
        }
        CHECK_EQ(l.open_orders(), static_cast<std::size_t>(std::count_if(orders.begin(), orders.end(), [](const auto& kv) {
                     return kv.second.active;
                 })));
    }

    // What the ledger should answer, from scratch.
    Verdict expect(const OrderSpec& o, OrderId skip) const {
        Verdict v;
        v.need = o.volume;
        const std::vector<Ref::Acc> acc = replay();
        const Ref::Acc& a = acc[o.account];
        auto it = a.pos.find(o.inst);
        const Ref::Pos p = it == a.pos.end() ? Ref::Pos{} : it->second;
        const int s = o.side == Side::Buy ? 0 : 1;
        if (terms[o.inst].market == Market::Equity) {
            if (o.side == Side::Buy) {
                const Wide held = buy_held(o.account, skip);
                const Wide notional = static_cast<Wide>(o.hold_price ? o.hold_price : terms[o.inst].ceiling) * o.volume;
                const Wide credit = l.account(o.account).credit.units;
                v.required.units = static_cast<std::int64_t>(half_up(notional * 10016, 10000));
                v.power.units = static_cast<std::int64_t>(a.cash + credit - half_up(held * 10016, 10000));
                if (notional * 10016 > (a.cash + credit) * 10000 - held * 10016) v.refusal = Refusal::InsufficientFunds;
            } else {
                v.available = static_cast<std::int64_t>(std::max<Wide>(0, p.volume - holds(o.account, o.inst, skip).sell));
                if (v.available < o.volume) v.refusal = Refusal::InsufficientPosition;
            }
            return v;
        }
        const Holds h = holds(o.account, o.inst, skip);
        const Wide closable = std::max<Wide>(0, (s == 0 ? p.short_qty : p.long_qty) - h.close[s]);
        if (o.mode == PositionMode::Close) {
            if (closable < o.volume) v.refusal = Refusal::InsufficientPosition, v.available = static_cast<std::int64_t>(closable);
            return v;
        }
        v.opening = static_cast<std::int64_t>(o.mode == PositionMode::Open
                                                  ? o.volume
                                                  : std::max<Wide>(0, h.autos[s] + o.volume - closable) -
                                                        std::max<Wide>(0, h.autos[s] - closable));
        if (v.opening > 0) {
            const DFig f = dfig(a, o.account, skip);
            const Wide power = a.cash + f.unreal - f.mr + l.account(o.account).credit.units;
            v.required.units = static_cast<std::int64_t>(terms[o.inst].im.units * v.opening);
            v.power.units = static_cast<std::int64_t>(power);
            if (v.required.units > power) v.refusal = Refusal::InsufficientFunds;
        }
        return v;
    }

    std::map<Refusal, int> refusals;
    bool same(const Verdict& x, const Verdict& y) {
        ++refusals[x.refusal];
        return x.refusal == y.refusal && x.need == y.need && x.opening == y.opening && x.available == y.available &&
               x.required == y.required && x.power == y.power;
    }

    // ---- driving both
    void fill_one(OrderId id, Px px, std::int64_t n) {
        if (id <= 0) return;  // the market's other participants
        TOrder& o = orders.at(id);
        fills.push_back(RFill{id, px, n, reserved(o.spec.account, o.spec.inst, o.spec.side, kNoOrder)});
        const FillReport r = l.fill(id, px, n);
        o.spec.volume -= n;
        if (o.spec.volume == 0) o.active = false;
        CHECK(r.remaining == o.spec.volume && r.closed + r.opened == (terms[o.spec.inst].market == Market::Derivatives ? n : 0));
    }

    void drain(int inst) {
        Book& b = books[inst];
        std::vector<BookEvent> ev = b.events();
        b.clear_events();
        for (const BookEvent& e : ev) {
            if (e.kind == BookEventKind::Filled) {
                marks[inst] = e.price;
                l.set_mark(inst, e.price);
                const OrderId buyer = e.side == Side::Buy ? e.id : e.maker, seller = e.side == Side::Buy ? e.maker : e.id;
                fill_one(buyer, e.price, e.volume);
                fill_one(seller, e.price, e.volume);
                trades.emplace_back(inst, e.price);
            } else if (e.kind == BookEventKind::Expired && e.id > 0) {
                l.remove(e.id);
                orders.at(e.id).active = false;
            }
        }
    }

    void submit(TOrder& o) {
        const int inst = o.spec.inst;
        const AddResult r = books[inst].add(BookOrder{o.id, o.spec.side, o.type, o.validity, o.price, o.spec.volume, 0});
        const OrderId id = o.id;
        drain(inst);
        if (r.handle.valid()) orders.at(id).handle = r.handle;
    }

    void settle() {
        for (std::size_t k = 0; k < trades.size(); ++k) {
            const auto [inst, px] = trades[k];
            std::vector<OrderId> ready;
            books[inst].take_triggered(px, ready);
            books[inst].clear_events();
            for (OrderId id : ready) {
                TOrder& o = orders.at(id);
                OrderSpec active = o.spec;
                active.pending = false;
                const Verdict v = l.check_activation(id);
                CHECK(same(v, expect(active, id)));
                if (!v.ok()) {
                    l.remove(id);
                    o.active = false;
                    continue;
                }
                l.activate(id);
                o.spec.pending = false;
                submit(o);
            }
        }
        trades.clear();
    }

    Px near(int inst, int ticks) {
        const Px units[] = {P(0.25), P(0.02), P(0.1), P(0.01)};
        return std::max(units[inst], marks[inst] - marks[inst] % units[inst] + ticks * units[inst]);
    }

    void place() {
        const int account = static_cast<int>(pick(0, 3));
        const bool deriv = account < 2;
        const int inst = static_cast<int>(deriv ? pick(2, 3) : pick(0, 1));
        TOrder o{};
        o.id = next++;
        o.spec = OrderSpec{account, inst, pick(0, 1) ? Side::Buy : Side::Sell, PositionMode::Open, 0, 0};
        o.spec.mode = deriv ? static_cast<PositionMode>(pick(0, 2)) : PositionMode::Open;
        o.spec.volume = deriv ? pick(1, 6) : 100 * pick(1, 30);
        o.type = pick(0, 6) ? PriceType::Limit : PriceType::Market;
        o.validity = static_cast<Validity>(pick(0, 5) < 4 ? 0 : pick(1, 2));
        const Px limit = near(inst, static_cast<int>(pick(-4, 4)));
        o.price = o.type == PriceType::Limit ? limit : o.spec.side == Side::Buy ? terms[inst].ceiling : near(inst, -400);
        o.spec.hold_price = o.type == PriceType::Limit ? limit : 0;
        if (deriv && pick(0, 5) == 0) {
            o.spec.pending = true;
            o.trigger = pick(0, 1) ? Trigger::LastPaidOrHigher : Trigger::LastPaidOrLower;
            o.trigger_px = near(inst, static_cast<int>(pick(-3, 3)));
        }
        const Verdict v = l.check(o.spec);
        CHECK(same(v, expect(o.spec, kNoOrder)));
        if (!v.ok()) return;
        l.place(o.id, o.spec);
        TOrder& t = orders[o.id] = o;
        if (t.spec.pending) {
            t.stop = books[inst].add_stop(t.id, t.trigger, t.trigger_px);
            trades.emplace_back(inst, marks[inst]);  // met already: goes at once
        } else {
            submit(t);
        }
    }

    TOrder* random_active(bool resting) {
        std::vector<OrderId> ids;
        for (const auto& [id, o] : orders)
            if (o.active && (!resting || !o.spec.pending)) ids.push_back(id);
        if (ids.empty()) return nullptr;
        return &orders.at(ids[static_cast<std::size_t>(pick(0, static_cast<std::int64_t>(ids.size()) - 1))]);
    }

    void cancel() {
        TOrder* o = random_active(false);
        if (!o) return;
        if (o->spec.pending) CHECK(books[o->spec.inst].cancel_stop(o->stop));
        else CHECK(books[o->spec.inst].cancel(o->handle));
        books[o->spec.inst].clear_events();
        l.remove(o->id);
        o->active = false;
    }

    void change() {
        TOrder* o = random_active(true);
        if (!o) return;
        OrderSpec spec = o->spec;
        const bool lower = pick(0, 1) && spec.volume > (terms[spec.inst].market == Market::Equity ? 100 : 1);
        Px price = o->price;
        if (lower) {
            spec.volume -= terms[spec.inst].market == Market::Equity ? 100 : 1;
        } else {
            spec.volume += terms[spec.inst].market == Market::Equity ? 100 * pick(0, 3) : pick(0, 3);
            price = near(spec.inst, static_cast<int>(pick(-4, 4)));
            spec.hold_price = price;
        }
        const Verdict v = l.check(spec, o->id);
        CHECK(same(v, expect(spec, o->id)));
        if (!v.ok()) return;
        l.replace(o->id, spec);
        o->spec = spec;
        o->type = PriceType::Limit;
        if (lower) {
            CHECK(books[spec.inst].reduce(o->handle, spec.volume, 0));
            books[spec.inst].clear_events();
            return;
        }
        o->price = price;
        o->validity = Validity::Day;
        const AddResult r = books[spec.inst].replace(o->handle, BookOrder{o->id, spec.side, PriceType::Limit, Validity::Day,
                                                                         price, spec.volume, 0});
        const OrderId id = o->id;
        drain(spec.inst);
        if (r.handle.valid()) orders.at(id).handle = r.handle;
    }

    void trade_report() {
        const int inst = static_cast<int>(pick(2, 3));
        const int a = static_cast<int>(pick(0, 1));
        TOrder mine{}, theirs{};
        mine.spec = OrderSpec{a, inst, pick(0, 1) ? Side::Buy : Side::Sell, static_cast<PositionMode>(pick(0, 2)), 0,
                              pick(1, 4)};
        theirs.spec = OrderSpec{1 - a, inst, opposite(mine.spec.side), static_cast<PositionMode>(pick(0, 2)), 0,
                                mine.spec.volume};
        for (TOrder* o : {&mine, &theirs}) {
            const Verdict v = l.check(o->spec);
            CHECK(same(v, expect(o->spec, kNoOrder)));
            if (!v.ok()) return;
        }
        const Px px = near(inst, static_cast<int>(pick(-10, 10)));
        for (TOrder* o : {&mine, &theirs}) {
            o->id = next++;
            l.place(o->id, o->spec);
            orders[o->id] = *o;
            fill_one(o->id, px, o->spec.volume);  // off the book: no mark, no trigger
        }
    }

    void market(int inst) {
        // The other participants: quotes around the mark, and now and then a sweep.
        const Side side = pick(0, 1) ? Side::Buy : Side::Sell;
        const std::int64_t lot = terms[inst].market == Market::Equity ? 100 : 1;
        BookOrder q{-1, side, PriceType::Limit, Validity::Day, near(inst, static_cast<int>(side == Side::Buy ? -pick(0, 4) : pick(0, 4))),
                    lot * pick(1, 20), 0};
        if (pick(0, 4) == 0) q.type = PriceType::Market, q.validity = Validity::IOC,
                              q.price = side == Side::Buy ? terms[inst].ceiling : near(inst, -400);
        books[inst].add(q);
        drain(inst);
    }
};

void random_against_recomputation(unsigned seed) {
    check::context = "random seed " + std::to_string(seed);
    Run run(seed);
    for (int step = 0; step < 1500 && !check::failures; ++step) {
        const int k = static_cast<int>(run.pick(0, 19));
        if (k < 7) run.place();
        else if (k < 9) run.cancel();
        else if (k < 12) run.change();
        else if (k < 13) run.trade_report();
        else if (k < 14) {
            const int inst = static_cast<int>(run.pick(0, 3));
            run.marks[inst] = run.near(inst, static_cast<int>(run.pick(-8, 8)));
            run.l.set_mark(inst, run.marks[inst]);
        } else {
            run.market(static_cast<int>(run.pick(0, 3)));
        }
        run.settle();
        run.compare();
        check::context = "random seed " + std::to_string(seed) + " step " + std::to_string(step);
    }
    // The run did what it is for: fills of every kind, and refusals.
    std::int64_t closed = 0, auto_fills = 0;
    for (const RFill& f : run.fills) {
        const TOrder& o = run.orders.at(f.id);
        closed += o.spec.mode == PositionMode::Close;
        auto_fills += o.spec.mode == PositionMode::Auto;
    }
    CHECK(run.fills.size() > 300 && closed > 10 && auto_fills > 10);
    CHECK(run.refusals[Refusal::InsufficientFunds] > 3 && run.refusals[Refusal::InsufficientPosition] > 3);
}

}  // namespace

int main() {
    fees_cash_and_cost();
    buying_power_and_shares();
    auto_decides_at_fill();
    margin_limits_and_flags();
    stop_close_reserves();
    overflow_refused();
    for (unsigned seed : {11u, 12u, 13u}) random_against_recomputation(seed);
    CHECK_DONE();
}
