// The ledger: holds taken and released with each order's life cycle, fills
// booked into cash and positions in exact hundred-millionths, and the account
// figures summed over the account's positions.
#include "ledger.h"

#include <algorithm>
#include <cmath>
#include <charconv>
#include <cstdio>
#include <iterator>

namespace tvx::sandbox::engine {

namespace {

int ix(Side s) { return s == Side::Buy ? 0 : 1; }

// The part of `cost` (for `held` units) that `q` of them carry.
Wide cost_share(Wide cost, std::int64_t held, std::int64_t q) {
    if (q >= held || held <= 0) return cost;
    return div_round(cost * q, held);
}

Money money(Wide units) { return Money::of_units(units); }

Wide apply_rate(Wide units, Rate r) { return div_round(units * r.num, r.den); }

// `whole` units, plus a fraction of a unit when `more`, rounded once to the
// cent. Half cents fall on whole units, so a point strictly between two units
// rounds as any other between them, the midpoint included.
Money cents_of(Wide whole, bool more) {
    if (!more) return Money::of_units(div_round(whole, kUnitsPerCent) * kUnitsPerCent);
    return Money::of_units(div_round(2 * whole + 1, 2 * Wide{kUnitsPerCent}) * kUnitsPerCent);
}

// The realized P&L of closing `q` of the `held` units of a position of
// `cost`, at `part` (price x q): (part - cost x q / held) x multiplier for a
// long, the opposite for a short, exact until the one rounding to the cent.
Money realized_of(Wide part, Wide cost, std::int64_t held, std::int64_t q, std::int64_t mult, bool long_side) {
    if (held <= 0) return cents_of((long_side ? part - cost : cost - part) * mult, false);
    Wide quot = cost, rem = 0;  // cost x q / held = quot + rem / held
    if (q < held) {
        const Wide n = cost * q;
        quot = n / held, rem = n % held;
    }
    const Wide scaled = rem * mult;  // rem x mult / held = a + b / held
    const Wide a = scaled / held, b = scaled % held;
    if (!long_side) return cents_of((quot - part) * mult + a, b != 0);
    return cents_of((part - quot) * mult - a - (b != 0), b != 0);
}

}  // namespace

// ------------------------------------------------------------------ money
Money Money::of(double currency) {
    // Exact: the double is m x 2^e with a 53-bit m, so m x 1e8 fits 80 bits.
    if (!std::isfinite(currency) || currency == 0) return Money{};
    int e = 0;
    const double m = std::frexp(currency, &e);
    const Wide x = static_cast<Wide>(static_cast<std::int64_t>(std::ldexp(m, 53))) * kUnitsPerCurrency;
    e -= 53;
    if (e >= 0) return Money{e > 40 ? (x < 0 ? -kMoneyBound : kMoneyBound) * 1024 : x << e};
    if (e < -120) return Money{};
    return Money{div_round(x, Wide{1} << -e)};
}

double Money::rounded() const { return static_cast<double>(div_round(units, kUnitsPerCent)) / 100.0; }

namespace {
// A non-negative 128-bit integer in decimal.
std::string decimal(Wide v) {
    char buf[48];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v > 0);
    return std::string(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

std::string shortest(double v) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}
}  // namespace

std::string Money::text() const {
    const Wide cents = div_round(units, kUnitsPerCent);
    const Wide a = cents < 0 ? -cents : cents;
    std::string s = decimal(a / 100);
    const int c = static_cast<int>(a % 100);
    s += '.';
    s += static_cast<char>('0' + c / 10);
    s += static_cast<char>('0' + c % 10);
    return cents < 0 ? "-" + s : s;
}

PriceRead read_price(double p, Px& out) {
    if (!std::isfinite(p)) return PriceRead::NotFinite;
    if (p <= 0) return PriceRead::NotPositive;
    if (p > static_cast<double>(kMaxPrice)) return PriceRead::TooHigh;
    // Below kMaxPrice, p x 1e8 is within 2^53: the product's own rounding is
    // under half a unit, and a price of up to 8 decimals lands within a few
    // of its double's ulps of a whole unit (noise such as 0.1 + 0.2 included).
    const double u = p * static_cast<double>(kUnitsPerCurrency);
    const double r = std::round(u);
    const double ulp = (std::nextafter(p, HUGE_VAL) - p) * static_cast<double>(kUnitsPerCurrency);
    if (r < 1 || std::fabs(u - r) > 2 * ulp + 1e-9) return PriceRead::TooFine;
    out = static_cast<Px>(r);
    return PriceRead::Ok;
}

std::string price_refusal(PriceRead r, double p, const char* what) {
    const std::string head = std::string(what) + " " + shortest(p);
    switch (r) {
        case PriceRead::Ok:
            return "";
        case PriceRead::NotFinite:
            return head + " is not a finite number";
        case PriceRead::NotPositive:
            return head + " is not above zero";
        case PriceRead::TooHigh:
            return head + " is above " + std::to_string(kMaxPrice) + ", the highest price the broker holds";
        case PriceRead::TooFine:
            return head + " has more than " + std::to_string(kPriceDecimals) +
                   " decimals; the broker holds prices to 0.00000001";
    }
    return head;
}

std::string price_text(Px p) {
    const bool neg = p < 0;
    const Wide a = neg ? -static_cast<Wide>(p) : static_cast<Wide>(p);
    std::string s = decimal(a / kUnitsPerCurrency);
    std::string frac = decimal(a % kUnitsPerCurrency + kUnitsPerCurrency).substr(1);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    if (!frac.empty()) s += "." + frac;
    return neg ? "-" + s : s;
}

// --------------------------------------------------------------- positions
double Position::long_avg() const {
    return long_qty ? static_cast<double>(long_cost) / static_cast<double>(long_qty) / kUnitsPerCurrency : 0;
}
double Position::short_avg() const {
    return short_qty ? static_cast<double>(short_cost) / static_cast<double>(short_qty) / kUnitsPerCurrency : 0;
}
double Position::avg() const {
    return volume ? static_cast<double>(cost) / static_cast<double>(volume) / kUnitsPerCurrency : 0;
}

std::int64_t Position::closable(Side side) const {
    const std::int64_t opposite = side == Side::Buy ? short_qty : long_qty;
    return std::max<std::int64_t>(0, opposite - close_reserved[ix(side)]);
}

std::int64_t Position::opening(Side side) const {
    return open_orders[ix(side)] + std::max<std::int64_t>(0, auto_orders[ix(side)] - closable(side));
}

// ------------------------------------------------------------------ set-up
void Ledger::set_instrument(int inst, const InstrumentTerms& t) {
    if (inst >= static_cast<int>(instruments_.size())) instruments_.resize(static_cast<std::size_t>(inst) + 1);
    instruments_[inst].terms = t;
    if (t.multiplier < 1) instruments_[inst].terms.multiplier = 1;
}

void Ledger::set_mark(int inst, Px price) { instruments_[inst].mark = price; }

int Ledger::add_derivatives_account(Money cash, Money credit_line) {
    Account a{};
    a.market = Market::Derivatives;
    a.cash = a.start_cash = cash;
    a.credit = a.start_credit = credit_line;
    accounts_.push_back(std::move(a));
    return static_cast<int>(accounts_.size() - 1);
}

int Ledger::add_equity_account(Money cash, Money credit_limit, bool credit_balance) {
    Account a{};
    a.market = Market::Equity;
    a.cash = a.start_cash = cash;
    a.credit = a.start_credit = credit_limit;
    a.credit_balance = credit_balance;
    accounts_.push_back(std::move(a));
    return static_cast<int>(accounts_.size() - 1);
}

void Ledger::set_cash(int account, Money cash, Money credit) {
    Account& a = accounts_[account];
    a.cash = a.start_cash = cash;
    a.credit = a.start_credit = credit;
}

void Ledger::set_permissions(int account, bool can_buy, bool can_sell) {
    accounts_[account].can_buy = can_buy;
    accounts_[account].can_sell = can_sell;
}

void Ledger::seed_derivatives(int account, int inst, std::int64_t long_qty, Px long_price, std::int64_t short_qty,
                              Px short_price) {
    Position& p = accounts_[account].positions[inst];
    p.long_qty = p.start_long = std::max<std::int64_t>(0, long_qty);
    p.short_qty = p.start_short = std::max<std::int64_t>(0, short_qty);
    p.start_long_price = p.long_qty ? long_price : 0;
    p.start_short_price = p.short_qty ? short_price : 0;
    p.long_cost = static_cast<Wide>(p.start_long_price) * p.long_qty;
    p.short_cost = static_cast<Wide>(p.start_short_price) * p.short_qty;
    p.listed = true;
}

void Ledger::seed_equity(int account, int inst, std::int64_t volume, Px price) {
    Position& p = accounts_[account].positions[inst];
    p.volume = p.start_volume = std::max<std::int64_t>(0, volume);
    p.start_price = p.volume ? price : 0;
    p.cost = static_cast<Wide>(p.start_price) * p.volume;
    p.listed = true;
}

const Position* Ledger::position(int account, int inst) const {
    const auto& ps = accounts_[account].positions;
    auto it = ps.find(inst);
    return it == ps.end() ? nullptr : &it->second;
}

void Ledger::new_day() {
    for (Account& a : accounts_)
        for (auto& [inst, p] : a.positions) {
            p.start_long = p.long_qty;
            p.start_short = p.short_qty;
            p.start_long_price = p.long_qty ? static_cast<Px>(div_round(p.long_cost, p.long_qty)) : 0;
            p.start_short_price = p.short_qty ? static_cast<Px>(div_round(p.short_cost, p.short_qty)) : 0;
            p.start_volume = p.volume;
            p.start_price = p.volume ? static_cast<Px>(div_round(p.cost, p.volume)) : 0;
            p.open_long = p.open_short = p.close_long = p.close_short = 0;
        }
}

// ------------------------------------------------------------------- holds
void Ledger::hold(const OrderTerms& o, int sign) {
    Account& a = accounts_[o.account];
    Position& p = a.positions[o.inst];
    const std::int64_t v = sign * o.volume;
    const int s = ix(o.side);
    if (a.market == Market::Derivatives) {
        if (o.mode == PositionMode::Close)
            p.close_reserved[s] += v;
        else if (o.pending)
            return;
        else if (o.mode == PositionMode::Open)
            p.open_orders[s] += v;
        else
            p.auto_orders[s] += v;
        return;
    }
    if (o.side == Side::Sell)
        p.sell_held += v;
    else if (!o.pending)
        a.buy_held += static_cast<Wide>(hold_price(o)) * v;
}

Px Ledger::hold_price(const OrderTerms& o) const {
    return o.hold_price > 0 ? o.hold_price : instruments_[o.inst].terms.ceiling;
}

// Margin of positions and of open orders' opening contracts; `p` stands in for
// the account's position in `inst` when given.
Ledger::Sums Ledger::sums(const Account& a, int inst, const Position* p) const {
    Sums s;
    auto add = [&](int i, const Position& q) {
        const InstrumentTerms& t = instruments_[i].terms;
        const Px m = instruments_[i].mark;
        const std::int64_t held = q.long_qty + q.short_qty;
        s.unrealized +=
            ((static_cast<Wide>(m) * q.long_qty - q.long_cost) + (q.short_cost - static_cast<Wide>(m) * q.short_qty)) *
            t.multiplier;
        s.mr += static_cast<Wide>(t.im.units) * (held + q.opening(Side::Buy) + q.opening(Side::Sell));
        s.mm += static_cast<Wide>(t.mm.units) * held;
        s.value += static_cast<Wide>(m) * q.volume * t.multiplier;
    };
    bool seen = false;
    for (const auto& [i, q] : a.positions) {
        if (p && i == inst) {
            add(i, *p);
            seen = true;
        } else {
            add(i, q);
        }
    }
    if (p && !seen) add(inst, *p);
    return s;
}

DerivativesFigures Ledger::derivatives_figures(int account) const {
    const Account& a = accounts_[account];
    const Sums s = sums(a, -1, nullptr);
    DerivativesFigures f{};
    f.unrealized = money(s.unrealized);
    f.equity = a.cash + f.unrealized;
    f.total_mr = money(s.mr);
    f.total_mm = money(s.mm);
    f.excess = f.equity - f.total_mr;
    f.flag = static_cast<Wide>(f.equity.units) * 2 < s.mm ? 'F' : f.equity.units < s.mm ? 'C' : 'N';
    f.call_force_margin = f.flag == 'N' ? Money{} : f.total_mr - f.equity;
    return f;
}

EquityFigures Ledger::equity_figures(int account) const {
    const Account& a = accounts_[account];
    const Sums s = sums(a, -1, nullptr);
    EquityFigures f{};
    f.reserved = money(apply_rate(a.buy_held, rates_.buy_reserve));
    f.buying_power = a.cash + a.credit - f.reserved;
    f.long_market_value = money(s.value);
    f.liabilities = a.cash.units < 0 ? -a.cash : Money{};
    f.equity_balance = a.cash + f.long_market_value;
    f.margin_im = a.credit_balance ? money(apply_rate(s.value, rates_.credit_margin)) : Money{};
    return f;
}

// ------------------------------------------------------------------ checks
Verdict Ledger::check(const OrderTerms& o, OrderId replacing) const {
    const OrderTerms* old = nullptr;
    if (replacing != kNoOrder) {
        auto it = orders_.find(replacing);
        if (it != orders_.end() && it->second.terms.account == o.account && it->second.terms.inst == o.inst)
            old = &it->second.terms;
    }
    return accounts_[o.account].market == Market::Derivatives ? check_derivatives(o, old) : check_equity(o, old);
}

Verdict Ledger::check_derivatives(const OrderTerms& o, const OrderTerms* old) const {
    const Account& a = accounts_[o.account];
    const InstrumentTerms& t = instruments_[o.inst].terms;
    const Position* cur = position(o.account, o.inst);
    Position p = cur ? *cur : Position{};
    if (old) {
        // What the order's earlier form holds is the new form's to take over.
        const std::int64_t v = old->volume;
        const int s = ix(old->side);
        if (old->mode == PositionMode::Close)
            p.close_reserved[s] -= v;
        else if (!old->pending && old->mode == PositionMode::Open)
            p.open_orders[s] -= v;
        else if (!old->pending)
            p.auto_orders[s] -= v;
    }
    Verdict v;
    v.need = o.volume;
    const int s = ix(o.side);
    const bool buy = o.side == Side::Buy;
    // Whatever fills, the positions, their day counters and the money must fit.
    const Wide opens = (buy ? p.long_qty : p.short_qty) + p.open_orders[s] + p.auto_orders[s] + o.volume;
    const Wide opened = (buy ? p.open_long : p.open_short) + p.open_orders[s] + p.auto_orders[s] + o.volume;
    const Wide closed = (buy ? p.close_short : p.close_long) + p.close_reserved[s] + p.auto_orders[s] + o.volume;
    const Wide all =
        p.long_qty + p.short_qty + p.open_orders[0] + p.open_orders[1] + p.auto_orders[0] + p.auto_orders[1] + o.volume;
    const Wide value = static_cast<Wide>(t.ceiling) * all * t.multiplier;
    const Wide margin = static_cast<Wide>(std::max(t.im.units, t.mm.units)) * all;
    if ((o.mode != PositionMode::Close && (opens > kRecordMax || opened > kRecordMax)) ||
        (o.mode != PositionMode::Open && closed > kRecordMax) || value > kMoneyBound / 4 || margin > kMoneyBound / 4) {
        v.refusal = Refusal::BadVolume;
        return v;
    }
    const std::int64_t closable = p.closable(o.side);
    if (o.mode == PositionMode::Close) {
        if (closable < o.volume) {
            v.refusal = Refusal::InsufficientPosition;
            v.available = closable;
            return v;
        }
        return v;
    }
    if (o.mode == PositionMode::Open) {
        v.opening = o.volume;
    } else {
        const std::int64_t before = std::max<std::int64_t>(0, p.auto_orders[s] - closable);
        const std::int64_t after = std::max<std::int64_t>(0, p.auto_orders[s] + o.volume - closable);
        v.opening = after - before;
    }
    if (v.opening > 0) {
        const Sums sm = sums(a, o.inst, &p);
        const Wide excess = a.cash.units + sm.unrealized - sm.mr;
        const Wide required = static_cast<Wide>(t.im.units) * v.opening;
        const Wide power = excess + a.credit.units;
        v.required = money(required);
        v.power = money(power);
        if (required > power) v.refusal = Refusal::InsufficientFunds;
    }
    return v;
}

Verdict Ledger::check_equity(const OrderTerms& o, const OrderTerms* old) const {
    const Account& a = accounts_[o.account];
    const InstrumentTerms& t = instruments_[o.inst].terms;
    Verdict v;
    v.need = o.volume;
    if (o.side == Side::Buy ? !a.can_buy : !a.can_sell) {
        v.refusal = Refusal::NotAllowed;
        return v;
    }
    const Wide notional = static_cast<Wide>(hold_price(o)) * o.volume * t.multiplier;
    const Wide bound = static_cast<Wide>(t.ceiling) * o.volume * t.multiplier;
    Wide held = a.buy_held;
    if (old && old->side == Side::Buy && !old->pending) held -= static_cast<Wide>(hold_price(*old)) * old->volume;
    const Wide cash = a.cash.units < 0 ? -static_cast<Wide>(a.cash.units) : a.cash.units;
    if (bound > kMoneyBound / 4 || notional > kMoneyBound / 4 ||
        (o.side == Side::Buy &&
         cash + a.credit.units + apply_rate(held + notional, rates_.buy_reserve) > kMoneyBound / 2)) {
        v.refusal = Refusal::BadVolume;
        return v;
    }
    if (o.side == Side::Buy) {
        // Exact: notional x reserve against (cash + credit) - held x reserve, over the rate's denominator.
        const Rate r = rates_.buy_reserve;
        const Wide need = notional * r.num;
        const Wide have = (static_cast<Wide>(a.cash.units) + a.credit.units) * r.den - held * r.num;
        v.required = money(apply_rate(notional, r));
        v.power = a.cash + a.credit - money(apply_rate(held, r));
        if (need > have) v.refusal = Refusal::InsufficientFunds;
        return v;
    }
    const Position* p = position(o.account, o.inst);
    std::int64_t held_shares = p ? p->sell_held : 0;
    if (old && old->side == Side::Sell) held_shares -= old->volume;
    v.available = std::max<std::int64_t>(0, (p ? p->volume : 0) - held_shares);
    if (v.available < o.volume) v.refusal = Refusal::InsufficientPosition;
    return v;
}

// ------------------------------------------------------------------ orders
void Ledger::place(OrderId id, const OrderTerms& req) {
    OrderTerms o = req;
    o.hold_price = hold_price(req);
    auto [it, fresh] = orders_.emplace(id, Held{o, req.hold_price <= 0});
    if (!fresh) {
        hold(it->second.terms, -1);
        it->second = Held{o, req.hold_price <= 0};
    }
    hold(o, +1);
}

void Ledger::replace(OrderId id, const OrderTerms& req) {
    auto it = orders_.find(id);
    if (it == orders_.end()) return place(id, req);
    OrderTerms o = req;
    const bool at_ceiling = req.hold_price <= 0;
    // Still a MARKET order: it keeps the hold price it entered the book with.
    o.hold_price = at_ceiling && it->second.at_ceiling ? it->second.terms.hold_price : hold_price(req);
    hold(it->second.terms, -1);
    it->second = Held{o, at_ceiling};
    hold(o, +1);
}

Verdict Ledger::check_activation(OrderId id) const {
    auto it = orders_.find(id);
    if (it == orders_.end()) return Verdict{};
    OrderTerms o = it->second.terms;
    o.pending = false;
    if (it->second.at_ceiling) o.hold_price = 0;
    return check(o, id);
}

void Ledger::activate(OrderId id) {
    auto it = orders_.find(id);
    if (it == orders_.end() || !it->second.terms.pending) return;
    OrderTerms& o = it->second.terms;
    hold(o, -1);
    o.pending = false;
    // It enters the book now: a MARKET order holds at today's ceiling.
    if (it->second.at_ceiling) o.hold_price = instruments_[o.inst].terms.ceiling;
    hold(o, +1);
}

void Ledger::remove(OrderId id) {
    auto it = orders_.find(id);
    if (it == orders_.end()) return;
    hold(it->second.terms, -1);
    orders_.erase(it);
}

const OrderTerms* Ledger::order(OrderId id) const {
    auto it = orders_.find(id);
    return it == orders_.end() ? nullptr : &it->second.terms;
}

FillReport Ledger::fill(OrderId id, Px price, std::int64_t volume) {
    auto it = orders_.find(id);
    if (it == orders_.end() || volume <= 0) return FillReport{};
    OrderTerms& o = it->second.terms;
    Account& a = accounts_[o.account];
    const InstrumentTerms& t = instruments_[o.inst].terms;
    volume = std::min(volume, o.volume);
    hold(o, -1);
    Position& p = a.positions[o.inst];
    p.listed = true;
    FillReport r{};
    r.account = o.account;
    r.inst = o.inst;
    r.side = o.side;
    r.market = a.market;
    r.volume = volume;
    const Wide value = static_cast<Wide>(price) * volume;
    r.value = money(value * t.multiplier);
    if (a.market == Market::Derivatives) {
        const bool buy = o.side == Side::Buy;
        const std::int64_t opposite = buy ? p.short_qty : p.long_qty;
        // AUTO decides now: it closes what CLOSE orders have not reserved.
        r.closed = o.mode == PositionMode::Close  ? std::min(volume, opposite)
                   : o.mode == PositionMode::Auto ? std::min(volume, p.closable(o.side))
                                                  : 0;
        r.opened = volume - r.closed;
        if (r.closed > 0) {
            const Wide part = static_cast<Wide>(price) * r.closed;
            if (buy) {
                r.realized = realized_of(part, p.short_cost, p.short_qty, r.closed, t.multiplier, false);
                p.short_cost -= cost_share(p.short_cost, p.short_qty, r.closed);
                p.short_qty -= r.closed;
                p.close_short += r.closed;
            } else {
                r.realized = realized_of(part, p.long_cost, p.long_qty, r.closed, t.multiplier, true);
                p.long_cost -= cost_share(p.long_cost, p.long_qty, r.closed);
                p.long_qty -= r.closed;
                p.close_long += r.closed;
            }
            p.realized += r.realized;
            a.cash += r.realized;
            r.cash_change = r.realized;
        }
        if (r.opened > 0) {
            const Wide part = static_cast<Wide>(price) * r.opened;
            if (buy)
                p.long_cost += part, p.long_qty += r.opened, p.open_long += r.opened;
            else
                p.short_cost += part, p.short_qty += r.opened, p.open_short += r.opened;
        }
    } else {
        r.brokerage = fee(r.value, rates_.brokerage);
        r.trading = fee(r.value, rates_.trading);
        r.clearing = fee(r.value, rates_.clearing);
        const Money fees = r.brokerage + r.trading + r.clearing;
        if (o.side == Side::Buy) {
            p.cost += value;
            p.volume += volume;
            r.cash_change = -(r.value.to_cent() + fees);
        } else {
            r.realized = realized_of(value, p.cost, p.volume, volume, t.multiplier, true);
            p.cost -= cost_share(p.cost, p.volume, volume);
            p.volume -= volume;
            p.realized += r.realized;
            r.cash_change = r.value.to_cent() - fees;
        }
        a.cash += r.cash_change;
    }
    o.volume -= volume;
    r.remaining = o.volume;
    if (o.volume > 0)
        hold(o, +1);
    else
        orders_.erase(it);
    return r;
}

}  // namespace tvx::sandbox::engine
