// The ledger alone (with books to make its fills): exact fees, cash and cost,
// buying power and margin at their exact limits, AUTO decided at fill time,
// stop CLOSE reservations, refusal before overflow, and seeded random runs in
// which every figure is compared, after every action, with one recomputed
// from scratch (fills replayed from the seeds, holds by scanning every order).
#include <algorithm>
#include <array>
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

constexpr Px P(double currency) { return static_cast<Px>(currency * kUnitsPerCurrency + (currency >= 0 ? 0.5 : -0.5)); }
Money M(double currency) { return Money::of(currency); }
const Side B = Side::Buy, S = Side::Sell;
const PositionMode Open = PositionMode::Open, Close = PositionMode::Close, Auto = PositionMode::Auto;

void equity_money() {
    check::context = "equity money";
    CHECK(fee(M(5550), Rate{15, 10000}) == M(8.33) && fee(M(15210), Rate{15, 10000}) == M(22.82));  // ties go up
    CHECK(fee(M(5550), Rate{5, 100000}) == M(0.28) && fee(M(5550), Rate{1, 100000}) == M(0.06));
    CHECK(fee(M(5549.99), Rate{15, 10000}) == M(8.32));
    CHECK(M(-0.005).text() == "-0.01" && M(0.0049).text() == "0.00" && M(1234.5).text() == "1234.50");
    CHECK(M(446599.54).rounded() == 446599.54 && M(504120.0000001).rounded() == 504120.0);

    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(130)});
    l.set_mark(0, P(55.5));
    const int a = l.add_equity_account(M(200000), M(0), false);
    l.place(1, OrderTerms{a, 0, B, Open, P(55.5), 100});
    FillReport r = l.fill(1, P(55.5), 100);
    CHECK(r.value == M(5550) && r.brokerage == M(8.33) && r.trading == M(0.28) && r.clearing == M(0.06));
    CHECK(l.account(a).cash == M(194441.33) && l.order(1) == nullptr);
    // Cost 16,750 for 300; a sale of 100 takes a third: 5,700 - 5,583.33.. realizes 116.67 (to the cent once).
    l.place(2, OrderTerms{a, 0, B, Open, P(56), 200});
    l.fill(2, P(56), 200);
    l.place(3, OrderTerms{a, 0, S, Open, P(57), 300});
    r = l.fill(3, P(57), 100);
    CHECK(r.realized == M(116.67) && r.remaining == 200 && l.position(a, 0)->available_volume() == 0);
    l.fill(3, P(57), 200);
    const Position* p = l.position(a, 0);
    CHECK(p->realized == M(350) && p->volume == 0 && p->cost == 0 && p->listed);

    check::context = "buying power";
    const int c = l.add_equity_account(M(10016), M(0), false);
    const OrderTerms buy{c, 0, B, Open, P(100), 100};  // 100 x 100.00 x 1.0016: exactly what there is
    OrderTerms dear = buy, market = buy;
    dear.hold_price = P(100.25), market.hold_price = 0;
    Verdict v = l.check(dear);
    CHECK(l.check(buy).ok() && v.refusal == Refusal::InsufficientFunds && v.required == M(10041.04) &&
          v.power == M(10016));
    l.place(4, buy);
    CHECK(l.equity_figures(c).reserved == M(10016) && l.equity_figures(c).buying_power == M(0));
    CHECK(l.check(buy, 4).ok() && !l.check(dear, 4).ok() && !l.check(buy).ok());  // a change may reuse its own hold
    l.replace(4, OrderTerms{c, 0, B, Open, P(50), 100});
    v = l.check(market);  // at the ceiling
    CHECK(v.refusal == Refusal::InsufficientFunds && v.required == M(13020.80) && v.power == M(5008));
    l.remove(4);
    CHECK(l.equity_figures(c).buying_power == M(10016) && l.open_orders() == 0);
    l.seed_equity(c, 0, 500, P(90));
    l.place(5, OrderTerms{c, 0, S, Open, P(101), 300});
    v = l.check(OrderTerms{c, 0, S, Open, P(101), 300});
    CHECK(v.refusal == Refusal::InsufficientPosition && v.available == 200);
    CHECK(l.check(OrderTerms{c, 0, S, Open, P(101), 500}, 5).ok());
    l.set_permissions(c, true, false);
    CHECK(l.check(OrderTerms{c, 0, S, Open, P(101), 100}).refusal == Refusal::NotAllowed);
    const int d = l.add_equity_account(M(-1000), M(5000), true);  // credit balance, with a loan
    l.set_mark(0, P(100));
    l.seed_equity(d, 0, 101, P(10));
    const EquityFigures f = l.equity_figures(d);
    CHECK(f.margin_im == M(5050) && f.liabilities == M(1000) && f.buying_power == M(4000) &&
          f.equity_balance == M(9100));

    check::context = "market hold through its life";
    // Ceiling 130: a MARKET buy of 100 holds 13,000; the next day's ceiling is 150.
    const int g = l.add_equity_account(M(100000), M(0), false);
    auto held = [&] { return l.account(g).buy_held; };
    l.place(6, OrderTerms{g, 0, B, Open, 0, 100});
    CHECK(held() == Wide{P(130)} * 100);
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(150)});
    l.replace(6, OrderTerms{g, 0, B, Open, 0, 60});  // a change keeps the price it holds at
    CHECK(held() == Wide{P(130)} * 60 && l.order(6)->hold_price == P(130));
    l.replace(6, OrderTerms{g, 0, B, Open, P(120), 60});
    l.replace(6, OrderTerms{g, 0, B, Open, 0, 60});  // MARKET again: today's ceiling
    CHECK(held() == Wide{P(150)} * 60);
    l.fill(6, P(140), 20);
    CHECK(held() == Wide{P(150)} * 40 && l.order(6)->volume == 40);
    l.remove(6);
    CHECK(held() == 0 && l.order(6) == nullptr);
    l.place(7, OrderTerms{g, 0, B, Open, 0, 100, true});  // a stop holds nothing while it waits
    CHECK(held() == 0);
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(170)});
    CHECK(l.check_activation(7).ok());
    l.activate(7);  // and then at the ceiling of the day it enters the book
    CHECK(held() == Wide{P(170)} * 100 && !l.order(7)->pending);
    l.remove(7);
    l.set_instrument(0, InstrumentTerms{Market::Equity, 1, {}, {}, P(130)});
}

Ledger futures(int& a, int& b) {
    Ledger l;
    l.set_instrument(0, InstrumentTerms{Market::Derivatives, 200, M(12000), M(8400), P(1100)});
    l.set_instrument(1, InstrumentTerms{Market::Derivatives, 1, M(10), M(7), P(2000)});
    l.set_mark(0, P(1000)), l.set_mark(1, P(1000));
    a = l.add_derivatives_account(M(500000), M(0));
    b = l.add_derivatives_account(M(500000), M(0));
    return l;
}

void derivatives() {
    check::context = "auto at fill";
    int a, b;
    Ledger l = futures(a, b);
    // A resting SELL AUTO placed while flat holds margin for opening, until a long appears for it to close.
    CHECK(l.check(OrderTerms{a, 0, S, Auto, 0, 1}).opening == 1);
    l.place(1, OrderTerms{a, 0, S, Auto, 0, 1});
    CHECK(l.derivatives_figures(a).total_mr == M(12000));
    l.place(2, OrderTerms{a, 0, B, Open, 0, 1}), l.place(3, OrderTerms{b, 0, S, Open, 0, 1});
    l.fill(2, P(1000), 1), l.fill(3, P(1000), 1);
    CHECK(l.derivatives_figures(a).total_mr == M(12000));
    l.place(4, OrderTerms{b, 0, B, Close, 0, 1});
    l.set_mark(0, P(1010));
    FillReport r = l.fill(1, P(1010), 1);
    l.fill(4, P(1010), 1);
    const Position* p = l.position(a, 0);
    CHECK(r.closed == 1 && r.opened == 0 && r.realized == M(2000) && p->long_qty == 0 && p->short_qty == 0);
    CHECK(p->close_long == 1 && p->open_long == 1 && l.derivatives_figures(a).total_mr == M(0));
    CHECK(l.account(a).cash == M(502000) && l.account(b).cash == M(498000) && l.position(b, 0)->short_qty == 0);
    l.seed_derivatives(a, 0, 2, P(990), 0, 0);
    l.place(5, OrderTerms{a, 0, S, Auto, 0, 5});  // closes 2, opens 3, in one fill
    CHECK(l.derivatives_figures(a).total_mr == M(12000 * 5));
    r = l.fill(5, P(1000), 5);
    CHECK(r.closed == 2 && r.opened == 3 && r.realized == M(4000) && l.position(a, 0)->short_avg() == 1000.0);

    check::context = "a share of the cost, multiplied before it rounds";
    {
        // Long 3 costing 176.30 at 1,000 a point; closing one at 56.70 realizes
        // (56.70 - 58.7666...) x 1,000 = -2,066.666... -> -2,066.67 (a share rounded
        // first to 1e-4 gave -2,066.70). Then 5-decimal prices, to the cent once.
        Ledger m;
        m.set_instrument(0, InstrumentTerms{Market::Derivatives, 1000, M(10), M(7), P(100)});
        m.set_mark(0, P(58.75));
        const int x = m.add_derivatives_account(M(100000), M(0));
        m.place(1, OrderTerms{x, 0, B, Open, 0, 3});
        m.fill(1, P(58.75), 2), m.fill(1, P(58.80), 1);
        m.place(2, OrderTerms{x, 0, S, Close, 0, 3});
        r = m.fill(2, P(56.70), 1);
        CHECK(r.realized == M(-2066.67) && m.account(x).cash == M(100000 - 2066.67));
        r = m.fill(2, P(56.70), 2);  // the rest of the cost: (113.40 - 117.533333..) x 1000
        CHECK(r.realized == M(-4133.33) && m.account(x).cash == M(100000 - 6200) && m.position(x, 0)->long_cost == 0);
        m.place(3, OrderTerms{x, 0, S, Open, 0, 7});
        m.fill(3, P(1.17453), 7);  // short 7 at 1.17453: cost 8.22171
        m.place(4, OrderTerms{x, 0, B, Close, 0, 7});
        r = m.fill(4, P(1.17461), 3);  // (3.52359 - 3.52383) x 1000, exactly
        CHECK(r.realized == M(-0.24));
        r = m.fill(4, P(1.17450), 1);  // (1.17453 - 1.1745) x 1000
        CHECK(r.realized == M(0.03) && m.account(x).cash == M(100000 - 6200 - 0.21));
    }

    check::context = "margin";
    const int c = l.add_derivatives_account(M(20000), M(4000));
    Verdict v = l.check(OrderTerms{c, 0, B, Open, 0, 2});  // excess equity plus credit line, exactly
    CHECK(v.ok() && v.opening == 2 && v.required == M(24000) && v.power == M(24000));
    l.place(6, OrderTerms{c, 0, B, Open, 0, 2});
    v = l.check(OrderTerms{c, 0, B, Open, 0, 1});
    CHECK(v.refusal == Refusal::InsufficientFunds && v.power == M(0) && v.required == M(12000));
    CHECK(l.check(OrderTerms{c, 0, B, Open, 0, 2}, 6).ok() && !l.check(OrderTerms{c, 0, B, Open, 0, 3}, 6).ok());
    l.fill(6, P(1000), 2);
    struct Case {
        double mark;
        char flag;
        double equity, call;
    };
    for (const Case k : {Case{1000, 'N', 20000, 0}, Case{992, 'N', 16800, 0}, Case{991.9, 'C', 16760, 7240},
                         Case{971, 'C', 8400, 15600}, Case{970.9, 'F', 8360, 15640}}) {
        l.set_mark(0, P(k.mark));
        const DerivativesFigures f = l.derivatives_figures(c);
        CHECK(f.flag == k.flag && f.equity == M(k.equity) && f.call_force_margin == M(k.call) &&
              f.total_mm == M(16800));
        CHECK(f.total_mr == M(24000) && f.excess == M(k.equity - 24000) && f.unrealized == M(k.equity - 20000));
    }

    check::context = "stop close";
    Ledger m = futures(a, b);
    m.seed_derivatives(a, 0, 2, P(990), 0, 0);
    CHECK(m.check(OrderTerms{a, 0, S, Close, 0, 2, true}).ok());
    m.place(1, OrderTerms{a, 0, S, Close, 0, 2, true});  // a pending stop reserves its contracts
    v = m.check(OrderTerms{a, 0, S, Close, 0, 1});
    CHECK(v.refusal == Refusal::InsufficientPosition && v.available == 0 && m.position(a, 0)->available_long() == 0);
    m.place(2, OrderTerms{a, 0, S, Auto, 0, 1});  // an AUTO cannot take them: it opens
    CHECK(m.derivatives_figures(a).total_mr == M(36000));
    r = m.fill(2, P(1000), 1);
    CHECK(r.closed == 0 && r.opened == 1 && m.check_activation(1).ok());
    m.activate(1);
    r = m.fill(1, P(1000), 2);
    CHECK(r.closed == 2 && r.realized == M(4000) && m.position(a, 0)->short_qty == 1 &&
          m.position(a, 0)->close_reserved[1] == 0);
    const int e = m.add_derivatives_account(M(12000), M(0));
    m.place(3, OrderTerms{e, 0, B, Open, 0, 1, true});  // a pending OPEN holds nothing until it triggers
    m.place(4, OrderTerms{e, 0, B, Open, 0, 1});
    CHECK(m.derivatives_figures(e).total_mr == M(12000) && m.check_activation(3).refusal == Refusal::InsufficientFunds);
    m.remove(4);
    CHECK(m.check_activation(3).ok());

    check::context = "overflow";
    Ledger o = futures(a, b);
    o.set_cash(a, M(1e12), M(0)), o.set_cash(b, M(1e12), M(0));
    const std::int64_t big = INT32_MAX;  // two trade reports of 2^31-1: the second would not fit
    const OrderTerms mine{a, 1, B, Open, 0, big}, theirs{b, 1, S, Open, 0, big};
    CHECK(o.check(mine).ok() && o.check(theirs).ok());
    o.place(1, mine), o.place(2, theirs), o.fill(1, P(1000), big), o.fill(2, P(1000), big);
    CHECK(o.check(mine).refusal == Refusal::BadVolume && o.check(theirs).refusal == Refusal::BadVolume);
    CHECK(o.position(a, 1)->long_qty == big && o.derivatives_figures(a).total_mr == M(10.0 * big));
    CHECK(o.check(OrderTerms{a, 1, S, Close, 0, big}).ok() &&
          o.check(OrderTerms{b, 1, S, Auto, 0, 1}).refusal == Refusal::BadVolume);
    o.set_instrument(2, InstrumentTerms{Market::Equity, 1, {}, {}, P(1e6)});
    o.set_mark(2, P(1e6));
    const int q = o.add_equity_account(M(1e9), M(0), false);
    CHECK(o.check(OrderTerms{q, 2, B, Open, P(1e6), big}).refusal == Refusal::BadVolume &&
          o.check(OrderTerms{q, 2, B, Open, P(1e6), 100}).ok());
}

// ------------------------------------------------------------ random run
constexpr Wide kCent = Wide{1000000} * kUnitsPerCent;  // a rate in millionths, to the cent
Wide half_up(Wide num, Wide den) { return num >= 0 ? (2 * num + den) / (2 * den) : -((-2 * num + den) / (2 * den)); }
// num / den units rounded half away from zero to the cent.
Wide to_cent(Wide num, Wide den) { return half_up(num, den * kUnitsPerCent) * kUnitsPerCent; }

struct Run {
    struct Order {
        OrderTerms req;
        Px price;
        Handle handle{};
        StopHandle stop{};
        bool active = true;
    };
    struct Fill {
        OrderId id;
        Px price;
        std::int64_t volume, reserved;  // reserved: CLOSE reservations on its side when it filled
    };
    struct Pos {
        Wide lq = 0, sq = 0, lc = 0, sc = 0, ol = 0, os = 0, cl = 0, cs = 0, vol = 0, cost = 0, realized = 0;
    };
    struct Acc {
        Wide cash = 0;
        std::map<int, Pos> pos;
    };
    struct Holds {
        Wide close[2] = {0, 0}, open[2] = {0, 0}, autos[2] = {0, 0}, sell = 0, buy = 0;
    };

    Ledger l;
    std::vector<Book> books;
    std::vector<InstrumentTerms> terms{{Market::Equity, 1, {}, {}, P(58.75)},
                                       {Market::Equity, 1, {}, {}, P(4.5)},
                                       {Market::Derivatives, 200, M(12000), M(8400), P(1100)},
                                       {Market::Derivatives, 1000, M(6800), M(4760), P(58.75)}};
    std::vector<Px> marks{P(45.25), P(3.52), P(1000), P(45.25)}, units{P(0.25), P(0.02), P(0.1), P(0.01)};
    std::map<OrderId, Order> orders;  // every order ever placed
    std::vector<Fill> fills;
    std::vector<Acc> seeds{4};
    std::vector<std::pair<int, Px>> trades;
    std::map<Refusal, int> refusals;
    std::mt19937_64 g;
    OrderId next = 1;

    std::int64_t pick(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(g);
    }
    Px near(int inst, std::int64_t ticks) { return std::max(units[inst], marks[inst] + ticks * units[inst]); }

    explicit Run(unsigned seed) : g(seed) {
        for (int i = 0; i < 4; ++i) {
            l.set_instrument(i, terms[i]), l.set_mark(i, marks[i]);
            books.emplace_back(units[i], marks[i] * 9 / 10, marks[i] * 11 / 10);
        }
        l.add_derivatives_account(M(500000), M(200000)), l.add_derivatives_account(M(120000), M(0));
        l.add_equity_account(M(200000), M(1000000), false), l.add_equity_account(M(80000), M(40000), true);
        const double cash[] = {500000, 120000, 200000, 80000};
        for (int a = 0; a < 4; ++a) seeds[a].cash = M(cash[a]).units;
        l.seed_derivatives(0, 2, 2, P(990), 0, 0), l.seed_derivatives(1, 3, 0, 0, 1, P(46));
        l.seed_equity(2, 0, 5000, P(43.5)), l.seed_equity(3, 1, 10000, P(3.4));
        seeds[0].pos[2].lq = 2, seeds[0].pos[2].lc = P(990) * 2, seeds[1].pos[3].sq = 1, seeds[1].pos[3].sc = P(46);
        seeds[2].pos[0].vol = 5000, seeds[2].pos[0].cost = P(43.5) * 5000;
        seeds[3].pos[1].vol = 10000, seeds[3].pos[1].cost = P(3.4) * 10000;
    }

    // ---- the reference, from scratch every time
    Holds holds(int account, int inst, OrderId skip) const {
        Holds h;
        for (const auto& [id, o] : orders) {
            const OrderTerms& x = o.req;
            if (!o.active || id == skip || x.account != account || (inst >= 0 && x.inst != inst)) continue;
            const int s = x.side == B ? 0 : 1;
            if (terms[x.inst].market == Market::Equity)
                (x.side == S ? h.sell : h.buy) +=
                    x.side == S ? x.volume
                    : x.pending ? 0
                                : Wide{x.hold_price ? x.hold_price : terms[x.inst].ceiling} * x.volume;
            else if (x.mode == Close)
                h.close[s] += x.volume;
            else if (!x.pending)
                (x.mode == Open ? h.open[s] : h.autos[s]) += x.volume;
        }
        return h;
    }
    std::vector<Acc> replay() const {
        std::vector<Acc> acc = seeds;
        for (const Fill& f : fills) {
            const OrderTerms& o = orders.at(f.id).req;
            const Wide mult = terms[o.inst].multiplier, value = Wide{f.price} * f.volume;
            Acc& a = acc[o.account];
            Pos& p = a.pos[o.inst];
            const bool buy = o.side == B;
            if (terms[o.inst].market == Market::Equity) {
                Wide fees = 0;
                for (Wide num : {1500, 50, 10}) fees += (2 * value * num + kCent) / (2 * kCent) * kUnitsPerCent;
                const Wide out = buy ? 0 : f.volume >= p.vol ? p.cost : half_up(p.cost * f.volume, p.vol);
                if (!buy) p.realized += to_cent(value * p.vol - p.cost * f.volume, p.vol);
                p.vol += buy ? f.volume : -f.volume, p.cost += buy ? value : -out;
                a.cash += buy ? -to_cent(value, 1) - fees : to_cent(value, 1) - fees;
                continue;
            }
            Wide &qty = buy ? p.sq : p.lq, &cost = buy ? p.sc : p.lc;
            const Wide closing = o.mode == Close  ? std::min<Wide>(f.volume, qty)
                                 : o.mode == Auto ? std::min<Wide>(f.volume, std::max<Wide>(0, qty - f.reserved))
                                                  : 0;
            const Wide out = closing >= qty ? cost : half_up(cost * closing, qty);
            // The exact (price x closing - cost x closing / qty) x mult, to the cent once.
            const Wide exact = (f.price * closing * qty - cost * closing) * mult;
            const Wide pnl = closing == 0 ? 0 : to_cent(buy ? -exact : exact, qty);
            qty -= closing, cost -= out, (buy ? p.cs : p.cl) += closing, p.realized += pnl, a.cash += pnl;
            (buy ? p.lq : p.sq) += f.volume - closing, (buy ? p.lc : p.sc) += f.price * (f.volume - closing);
            (buy ? p.ol : p.os) += f.volume - closing;
        }
        return acc;
    }
    static Wide opening(const Pos& p, const Holds& h, int s) {
        return h.open[s] + std::max<Wide>(0, h.autos[s] - std::max<Wide>(0, (s ? p.lq : p.sq) - h.close[s]));
    }
    // Unrealized, initial and maintenance margin of a derivatives account.
    std::array<Wide, 3> dfig(const Acc& a, int account, OrderId skip) const {
        std::array<Wide, 3> f{0, 0, 0};
        for (int i = 2; i < 4; ++i) {
            const Pos p = a.pos.count(i) ? a.pos.at(i) : Pos{};
            const Holds h = holds(account, i, skip);
            f[0] += (marks[i] * (p.lq - p.sq) - p.lc + p.sc) * terms[i].multiplier;
            f[1] += terms[i].im.units * (p.lq + p.sq + opening(p, h, 0) + opening(p, h, 1));
            f[2] += terms[i].mm.units * (p.lq + p.sq);
        }
        return f;
    }
    Verdict expect(const OrderTerms& o, OrderId skip) const {
        Verdict v;
        v.need = o.volume;
        const Acc a = replay()[o.account];
        const Pos p = a.pos.count(o.inst) ? a.pos.at(o.inst) : Pos{};
        const Holds h = holds(o.account, o.inst, skip);
        const Wide credit = l.account(o.account).credit.units;
        const int s = o.side == B ? 0 : 1;
        if (terms[o.inst].market == Market::Equity && o.side == S) {
            v.available = static_cast<std::int64_t>(std::max<Wide>(0, p.vol - h.sell));
            if (v.available < o.volume) v.refusal = Refusal::InsufficientPosition;
        } else if (terms[o.inst].market == Market::Equity) {
            const Wide held = holds(o.account, -1, skip).buy,
                       notional = Wide{o.hold_price ? o.hold_price : terms[o.inst].ceiling} * o.volume;
            v.required.units = half_up(notional * 10016, 10000);
            v.power.units = a.cash + credit - half_up(held * 10016, 10000);
            if (notional * 10016 > (a.cash + credit) * 10000 - held * 10016) v.refusal = Refusal::InsufficientFunds;
        } else {
            const Wide closable = std::max<Wide>(0, (s ? p.lq : p.sq) - h.close[s]);
            if (o.mode == Close && closable < o.volume)
                v.refusal = Refusal::InsufficientPosition, v.available = static_cast<std::int64_t>(closable);
            if (o.mode != Close)
                v.opening =
                    static_cast<std::int64_t>(o.mode == Open ? o.volume
                                                             : std::max<Wide>(0, h.autos[s] + o.volume - closable) -
                                                                   std::max<Wide>(0, h.autos[s] - closable));
            if (v.opening > 0) {
                const auto f = dfig(a, o.account, skip);
                v.required.units = terms[o.inst].im.units * v.opening;
                v.power.units = a.cash + f[0] - f[1] + credit;
                if (v.required > v.power) v.refusal = Refusal::InsufficientFunds;
            }
        }
        return v;
    }
    bool agrees(const OrderTerms& o, OrderId skip, bool activation = false) {
        const Verdict x = activation ? l.check_activation(skip) : l.check(o, skip), y = expect(o, skip);
        ++refusals[x.refusal];
        CHECK(x.refusal == y.refusal && x.need == y.need && x.opening == y.opening && x.available == y.available &&
              x.required == y.required && x.power == y.power);
        return x.ok();
    }
    void compare() {
        const std::vector<Acc> acc = replay();
        std::size_t active = 0;
        for (const auto& [id, o] : orders) active += o.active;
        CHECK(l.open_orders() == active);
        for (int a = 0; a < 4; ++a) {
            CHECK(l.account(a).cash.units == acc[a].cash);
            for (int i = 0; i < 4; ++i) {
                const Position* lp = l.position(a, i);
                const Pos p = acc[a].pos.count(i) ? acc[a].pos.at(i) : Pos{};
                const Holds h = holds(a, i, kNoOrder);
                if (!lp) {
                    CHECK(!acc[a].pos.count(i));
                    continue;
                }
                CHECK(lp->long_qty == p.lq && lp->short_qty == p.sq && lp->long_cost == p.lc &&
                      lp->short_cost == p.sc && lp->open_long == p.ol && lp->open_short == p.os &&
                      lp->close_long == p.cl && lp->close_short == p.cs);
                CHECK(lp->volume == p.vol && lp->cost == p.cost && lp->realized.units == p.realized &&
                      lp->sell_held == h.sell);
                for (int s = 0; s < 2; ++s)
                    CHECK(lp->close_reserved[s] == h.close[s] && lp->open_orders[s] == h.open[s] &&
                          lp->auto_orders[s] == h.autos[s]);
                CHECK(lp->available_long() >= 0 && lp->available_short() >= 0 && lp->available_volume() >= 0);
            }
            const Wide cash = acc[a].cash, credit = l.account(a).credit.units;
            if (a < 2) {
                const auto f = dfig(acc[a], a, kNoOrder);
                const DerivativesFigures d = l.derivatives_figures(a);
                const char flag = 2 * (cash + f[0]) < f[2] ? 'F' : cash + f[0] < f[2] ? 'C' : 'N';
                CHECK(d.unrealized.units == f[0] && d.equity.units == cash + f[0] && d.total_mr.units == f[1] &&
                      d.total_mm.units == f[2] && d.excess.units == cash + f[0] - f[1] && d.flag == flag &&
                      d.call_force_margin.units == (flag == 'N' ? 0 : f[1] - cash - f[0]));
            } else {
                Wide lmv = 0;
                for (const auto& [i, p] : acc[a].pos) lmv += marks[i] * p.vol;
                const Wide reserved = half_up(holds(a, -1, kNoOrder).buy * 10016, 10000);
                const EquityFigures e = l.equity_figures(a);
                CHECK(e.reserved.units == reserved && e.buying_power.units == cash + credit - reserved &&
                      e.long_market_value.units == lmv && e.equity_balance.units == cash + lmv &&
                      e.liabilities.units == std::max<Wide>(0, -cash) &&
                      e.margin_im.units == (a == 3 ? half_up(lmv, 2) : 0));
            }
        }
    }

    // ---- driving the ledger and the books as the broker would
    void fill(OrderId id, Px px, std::int64_t n) {
        if (id <= 0) return;  // the market's other participants
        Order& o = orders.at(id);
        Wide reserved = 0;
        for (const auto& [k, x] : orders)
            if (x.active && x.req.mode == Close && x.req.account == o.req.account && x.req.inst == o.req.inst &&
                x.req.side == o.req.side)
                reserved += x.req.volume;
        fills.push_back(Fill{id, px, n, static_cast<std::int64_t>(reserved)});
        const FillReport r = l.fill(id, px, n);
        o.active = (o.req.volume -= n) > 0;
        CHECK(r.remaining == o.req.volume && r.volume == n);
    }
    void submit(int inst, const BookOrder& bo, Handle old = {}) {
        const AddResult r = old.valid() ? books[inst].replace(old, bo) : books[inst].add(bo);
        for (const BookEvent& e : books[inst].events()) {
            if (e.kind == BookEventKind::Filled) {
                l.set_mark(inst, marks[inst] = e.price);
                fill(e.side == B ? e.id : e.maker, e.price, e.volume);
                fill(e.side == B ? e.maker : e.id, e.price, e.volume);
                trades.emplace_back(inst, e.price);
            } else if (e.kind == BookEventKind::Expired && e.id > 0) {
                l.remove(e.id);
                orders.at(e.id).active = false;
            }
        }
        books[inst].clear_events();
        if (bo.id > 0) orders.at(bo.id).handle = r.handle;
    }
    void settle() {
        for (std::size_t k = 0; k < trades.size(); ++k) {
            std::vector<OrderId> ready;
            books[trades[k].first].take_triggered(trades[k].second, ready);
            books[trades[k].first].clear_events();
            for (OrderId id : ready) {
                Order& o = orders.at(id);
                OrderTerms active = o.req;
                active.pending = false;
                if (!agrees(active, id, true)) {
                    l.remove(id), o.active = false;
                    continue;
                }
                l.activate(id), o.req.pending = false;
                submit(o.req.inst, BookOrder{id, o.req.side, PriceType::Limit, Validity::Day, o.price, o.req.volume});
            }
        }
        trades.clear();
    }
    void place() {
        const int account = static_cast<int>(pick(0, 3)),
                  inst = static_cast<int>(account < 2 ? pick(2, 3) : pick(0, 1));
        const bool deriv = account < 2, market = !pick(0, 6);
        Order o{OrderTerms{account, inst, pick(0, 1) ? B : S, deriv ? static_cast<PositionMode>(pick(0, 2)) : Open, 0,
                           deriv ? pick(1, 6) : 100 * pick(1, 30), deriv && !pick(0, 5)},
                near(inst, pick(-4, 4))};
        o.req.hold_price = market ? 0 : o.price;
        const Validity val = static_cast<Validity>(pick(0, 5) < 4 ? 0 : pick(1, 2));
        if (!agrees(o.req, kNoOrder)) return;
        const OrderId id = next++;
        l.place(id, o.req);
        if (market) o.price = o.req.side == B ? terms[inst].ceiling : units[inst];
        orders[id] = o;
        if (!o.req.pending)
            return submit(inst, BookOrder{id, o.req.side, market ? PriceType::Market : PriceType::Limit, val, o.price,
                                          o.req.volume});
        orders[id].stop = books[inst].add_stop(id, pick(0, 1) ? Trigger::LastPaidOrHigher : Trigger::LastPaidOrLower,
                                               near(inst, pick(-3, 3)));
        trades.emplace_back(inst, marks[inst]);  // met already: goes at once
    }
    OrderId any(bool resting) {
        std::vector<OrderId> ids;
        for (const auto& [id, o] : orders)
            if (o.active && (!resting || !o.req.pending)) ids.push_back(id);
        return ids.empty() ? 0 : ids[static_cast<std::size_t>(pick(0, static_cast<std::int64_t>(ids.size()) - 1))];
    }
    void cancel() {
        const OrderId id = any(false);
        if (!id) return;
        Order& o = orders.at(id);
        CHECK(o.req.pending ? books[o.req.inst].cancel_stop(o.stop) : books[o.req.inst].cancel(o.handle));
        books[o.req.inst].clear_events();
        l.remove(id);
        o.active = false;
    }
    void change() {
        const OrderId id = any(true);
        if (!id) return;
        Order& o = orders.at(id);
        const std::int64_t lot = terms[o.req.inst].market == Market::Equity ? 100 : 1;
        OrderTerms req = o.req;
        const bool lower = pick(0, 1) && req.volume > lot;
        const Px price = lower ? o.price : near(req.inst, pick(-4, 4));
        req.volume += lower ? -lot : lot * pick(0, 3);
        req.hold_price = price;
        if (!agrees(req, id)) return;
        l.replace(id, req);
        o.req = req, o.price = price;
        if (lower)
            CHECK(books[req.inst].reduce(o.handle, req.volume, 0));
        else
            submit(req.inst, BookOrder{id, req.side, PriceType::Limit, Validity::Day, price, req.volume}, o.handle);
        books[req.inst].clear_events();
    }
    void trade_report() {
        const int inst = static_cast<int>(pick(2, 3)), a = static_cast<int>(pick(0, 1));
        const OrderTerms mine{a, inst, pick(0, 1) ? B : S, static_cast<PositionMode>(pick(0, 2)), 0, pick(1, 4)};
        const OrderTerms theirs{1 - a, inst,       opposite(mine.side), static_cast<PositionMode>(pick(0, 2)),
                                0,     mine.volume};
        if (!agrees(mine, kNoOrder) || !agrees(theirs, kNoOrder)) return;
        const Px px = near(inst, pick(-10, 10));
        for (const OrderTerms& s : {mine, theirs}) {
            const OrderId id = next++;
            l.place(id, s);
            orders[id] = Order{s, px};
            fill(id, px, s.volume);  // off the book: no mark, no trigger
        }
    }
    void market(int inst) {  // the other participants: quotes around the mark, now and then a sweep
        const Side side = pick(0, 1) ? B : S;
        BookOrder q{-1,
                    side,
                    PriceType::Limit,
                    Validity::Day,
                    near(inst, side == B ? -pick(0, 4) : pick(0, 4)),
                    (terms[inst].market == Market::Equity ? 100 : 1) * pick(1, 20),
                    0};
        if (!pick(0, 4))
            q.type = PriceType::Market, q.validity = Validity::IOC,
            q.price = side == B ? terms[inst].ceiling : units[inst];
        submit(inst, q);
    }
};

void random_against_recomputation(unsigned seed) {
    Run run(seed);
    for (int step = 0; step < 1500 && !check::failures; ++step) {
        check::context = "random seed " + std::to_string(seed) + " step " + std::to_string(step);
        const int k = static_cast<int>(run.pick(0, 19)), inst = static_cast<int>(run.pick(0, 3));
        if (k < 7)
            run.place();
        else if (k < 9)
            run.cancel();
        else if (k < 12)
            run.change();
        else if (k < 13)
            run.trade_report();
        else if (k < 14)
            run.l.set_mark(inst, run.marks[inst] = run.near(inst, run.pick(-8, 8)));
        else
            run.market(inst);
        run.settle();
        run.compare();
    }
    // The run did what it is for: fills of every mode, and refusals of both kinds.
    int modes[3] = {0, 0, 0};
    for (const Run::Fill& f : run.fills) ++modes[static_cast<int>(run.orders.at(f.id).req.mode)];
    CHECK(run.fills.size() > 300 && modes[1] > 10 && modes[2] > 10);
    CHECK(run.refusals[Refusal::InsufficientFunds] > 3 && run.refusals[Refusal::InsufficientPosition] > 3);
}

}  // namespace

int main() {
    equity_money();
    derivatives();
    for (unsigned seed : {11u, 12u, 13u}) random_against_recomputation(seed);
    CHECK_DONE();
}
