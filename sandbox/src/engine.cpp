// The exchange side of the broker: tick grids, order books with price-time
// priority, the liquidity provider and the rest of the market, stop orders,
// and the accounting of every fill.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "broker_state.h"

namespace tvx::sandbox {

Px to_px(double p) { return static_cast<Px>(std::llround(p * kPxScale)); }

const char* topic_name(Topic t) {
    switch (t) {
        case Topic::BidOffer: return "bidofferv1";
        case Topic::Info: return "infov1";
        case Topic::Candle: return "cdlv1";
        case Topic::DerivativesOrder: return "orderdvv1";
        case Topic::EquityOrder: return "ordereqv1";
    }
    return "";
}

namespace {

constexpr double kBrokerageRate = 0.0015, kTradingRate = 0.00005, kClearingRate = 0.00001;
constexpr double kFeeReserve = 0.0016;  // what a buy order sets aside for fees
constexpr double kCreditMarginRate = 0.5;

std::string padded(std::uint64_t n, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llu", width, static_cast<unsigned long long>(n));
    return buf;
}

double round2(double v) { return std::round(v * 100) / 100; }

bool same(const char* a, const char* b) { return a && strcasecmp(a, b) == 0; }
bool empty(const char* a) { return !a || !*a; }

std::string price_text(Px p) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.4f", from_px(p));
    std::string s = buf;
    while (s.size() > 1 && s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
    return s;
}

std::string money(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

}  // namespace

// ------------------------------------------------------------------ grids
Px BrokerState::tick_at(const Instrument& in, Px p) const {
    if (in.fixed_tick) return in.fixed_tick;
    static constexpr std::pair<Px, Px> bands[] = {
        {2 * kPxScale, kPxScale / 100},   {5 * kPxScale, kPxScale / 50},  {10 * kPxScale, kPxScale / 20},
        {25 * kPxScale, kPxScale / 10},   {100 * kPxScale, kPxScale / 4}, {200 * kPxScale, kPxScale / 2},
        {400 * kPxScale, kPxScale},
    };
    for (auto [upto, tick] : bands)
        if (p < upto) return tick;
    return 2 * kPxScale;
}

namespace {
bool on_grid(const BrokerState& b, const Instrument& in, Px p) { return p > 0 && p % b.tick_at(in, p) == 0; }
Px tick_up(const BrokerState& b, const Instrument& in, Px p) { return p + b.tick_at(in, p); }
Px tick_down(const BrokerState& b, const Instrument& in, Px p) { return p - b.tick_at(in, std::max<Px>(1, p - 1)); }
Px grid_down(const BrokerState& b, const Instrument& in, Px p) { return p - p % b.tick_at(in, p); }
Px grid_up(const BrokerState& b, const Instrument& in, Px p) {
    const Px d = grid_down(b, in, p);
    return d == p ? p : tick_up(b, in, d);
}
Px grid_round(const BrokerState& b, const Instrument& in, Px p) {
    const Px d = grid_down(b, in, p), u = grid_up(b, in, p);
    return p - d <= u - p ? d : u;
}
}  // namespace

void BrokerState::init_instrument(Instrument& in) {
    const double ref = from_px(in.reference);
    in.ceiling = grid_down(*this, in, to_px(ref * (1 + in.limit)));
    in.floor = grid_up(*this, in, to_px(ref * (1 - in.limit)));
    in.fair = grid_round(*this, in, in.reference);
    in.exact = from_px(in.fair);
    in.requote = true;
}

// ----------------------------------------------------------------- random
std::uint64_t BrokerState::next_random() {
    std::uint64_t z = (rng += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double BrokerState::uniform() { return static_cast<double>(next_random() >> 11) * 0x1.0p-53; }

// ------------------------------------------------------------------- fees
double BrokerState::fee_brokerage(double value) const { return round2(value * kBrokerageRate); }
double BrokerState::fee_trading(double value) const { return round2(value * kTradingRate); }
double BrokerState::fee_clearing(double value) const { return round2(value * kClearingRate); }

// --------------------------------------------------------------- accounts
int BrokerState::pending_open(const DerivativesAccountState& a, int inst, int skip) const {
    int n = 0;
    auto it = by_account.find(a.no);
    if (it == by_account.end()) return 0;
    for (int i : it->second) {
        const Order& o = orders[i];
        if (i == skip || o.inst != inst || (o.status != Status::Open && o.status != Status::Partial)) continue;
        n += o.remaining() - std::min(o.close_left, o.remaining());
    }
    return n;
}

int BrokerState::pending_close(const std::string& account, int inst, Side side, int skip) const {
    int n = 0;
    auto it = by_account.find(account);
    if (it == by_account.end()) return 0;
    for (int i : it->second) {
        const Order& o = orders[i];
        if (i == skip || o.inst != inst || o.side != side || (o.status != Status::Open && o.status != Status::Partial))
            continue;
        n += std::min(o.close_left, o.remaining());
    }
    return n;
}

std::int64_t BrokerState::pending_sell(const std::string& account, int inst, int skip) const {
    std::int64_t n = 0;
    auto it = by_account.find(account);
    if (it == by_account.end()) return 0;
    for (int i : it->second) {
        const Order& o = orders[i];
        if (i != skip && o.inst == inst && o.side == Side::Sell && (o.status == Status::Open || o.status == Status::Partial))
            n += o.remaining();
    }
    return n;
}

double BrokerState::reserved_buy(const EquityAccountState& a, int skip) const {
    double r = 0;
    auto it = by_account.find(a.no);
    if (it == by_account.end()) return 0;
    for (int i : it->second) {
        const Order& o = orders[i];
        if (i == skip || o.side != Side::Buy || (o.status != Status::Open && o.status != Status::Partial)) continue;
        const Px px = o.type == PriceType::Limit ? o.price : instruments[o.inst].ceiling;
        r += from_px(px) * o.remaining() * (1 + kFeeReserve);
    }
    return r;
}

DerivativesFigures BrokerState::figures(const DerivativesAccountState& a) const {
    DerivativesFigures f{};
    double mr = 0, mm = 0;
    for (const auto& [inst, p] : a.positions) {
        const Instrument& in = instruments[inst];
        const double mark = from_px(in.mark());
        f.unrealized += (mark - p.long_avg) * p.long_qty * in.multiplier + (p.short_avg - mark) * p.short_qty * in.multiplier;
        mr += in.im * (p.long_qty + p.short_qty);
        mm += in.mm * (p.long_qty + p.short_qty);
    }
    for (std::size_t inst = 0; inst < instruments.size(); ++inst)
        if (instruments[inst].market == Market::Derivatives) mr += instruments[inst].im * pending_open(a, static_cast<int>(inst));
    f.equity = a.cash + f.unrealized;
    f.total_mr = mr;
    f.total_mm = mm;
    f.excess = f.equity - mr;
    f.flag = f.equity < mm * 0.5 ? "F" : f.equity < mm ? "C" : "N";
    f.call_force_margin = *f.flag == 'N' ? 0 : mr - f.equity;
    return f;
}

EquityFigures BrokerState::figures(const EquityAccountState& a) const {
    EquityFigures f{};
    f.reserved = reserved_buy(a);
    for (const auto& [inst, p] : a.positions) f.long_market_value += from_px(instruments[inst].mark()) * p.volume;
    f.buying_power = a.cash + a.credit_limit - f.reserved;
    f.liabilities = std::max(0.0, -a.cash);
    f.equity_balance = a.cash + f.long_market_value;
    f.margin_im = a.type == "CREDIT_BALANCE" ? f.long_market_value * kCreditMarginRate : 0;
    return f;
}

// ------------------------------------------------------------------ texts
std::string BrokerState::date_text(std::int64_t t) {
    std::int64_t z = (t >= 0 ? t : t - 86399) / 86400 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

std::string BrokerState::time_text(std::int64_t t) {
    const std::int64_t s = ((t % 86400) + 86400) % 86400;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
    return buf;
}

std::string BrokerState::status_text(Status s) {
    switch (s) {
        case Status::Pending: return "PENDING";
        case Status::Open: return "OPEN";
        case Status::Partial: return "PARTIAL";
        case Status::Matched: return "MATCHED";
        case Status::Cancelled: return "CANCELLED";
        case Status::Expired: return "EXPIRED";
        case Status::Rejected: return "REJECTED";
    }
    return "";
}

const char* BrokerState::side_text(const Order& o) {
    if (o.market == Market::Derivatives) return o.side == Side::Buy ? "LONG" : "SHORT";
    return o.side == Side::Buy ? "BUY" : "SELL";
}

// ----------------------------------------------------------------- checks
Verdict BrokerState::check_price(const Instrument& in, PriceType type, Px price, bool bypass_warning) const {
    if (type == PriceType::Market) return Verdict::done("");
    if (price <= 0) return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    if (!on_grid(*this, in, price))
        return Verdict::fail(400, reason::kBadPrice,
                             "price " + price_text(price) + " is not a multiple of the tick " +
                                 price_text(tick_at(in, price)) + " of " + in.symbol);
    if (price > in.ceiling || price < in.floor)
        return Verdict::fail(422, reason::kPriceLimit,
                             "price " + price_text(price) + " is outside today's limits " + price_text(in.floor) +
                                 " to " + price_text(in.ceiling) + " of " + in.symbol);
    const Px mark = in.mark();
    if (!bypass_warning && std::llabs(price - mark) > static_cast<Px>(mark * in.limit / 2))
        return Verdict::fail(422, reason::kPriceWarning,
                             "price " + price_text(price) + " is far from the last price " + price_text(mark) +
                                 " of " + in.symbol + "; set the bypass-warning flag to place it anyway");
    return Verdict::done("");
}

Verdict BrokerState::check_new(const Placement& p, Order& o) {
    o.market = p.market;
    o.account = p.account;
    o.entered_by = p.entered_by;
    const int inst = instrument_index(p.symbol);
    if (inst < 0 || instruments[inst].market != p.market)
        return Verdict::fail(400, reason::kUnknownSymbol,
                             std::string("no ") + (p.market == Market::Derivatives ? "derivatives" : "equity") +
                                 " instrument " + (p.symbol ? p.symbol : ""));
    const Instrument& in = instruments[inst];
    o.inst = inst;
    if (same(p.side, "BUY") || (p.market == Market::Derivatives && same(p.side, "LONG"))) o.side = Side::Buy;
    else if (same(p.side, "SELL") || (p.market == Market::Derivatives && same(p.side, "SHORT"))) o.side = Side::Sell;
    else
        return Verdict::fail(400, reason::kBadSide,
                             std::string("side must be ") + (p.market == Market::Derivatives ? "LONG or SHORT" : "BUY or SELL") +
                                 ", not '" + (p.side ? p.side : "") + "'");
    if (p.market == Market::Derivatives) {
        if (empty(p.position) || same(p.position, "AUTO")) o.position = PositionMode::Auto;
        else if (same(p.position, "OPEN")) o.position = PositionMode::Open;
        else if (same(p.position, "CLOSE")) o.position = PositionMode::Close;
        else
            return Verdict::fail(400, reason::kBadPosition,
                                 std::string("position must be OPEN, CLOSE or AUTO, not '") + p.position + "'");
    }
    if (same(p.price_type, "LIMIT")) o.type = PriceType::Limit;
    else if (same(p.price_type, "MARKET")) o.type = PriceType::Market;
    else
        return Verdict::fail(400, reason::kBadPriceType,
                             std::string("price type must be LIMIT or MARKET, not '") + (p.price_type ? p.price_type : "") + "'");
    if (empty(p.validity) || same(p.validity, "DAY")) o.validity = Validity::Day;
    else if (same(p.validity, "IOC")) o.validity = Validity::IOC;
    else if (same(p.validity, "FOK")) o.validity = Validity::FOK;
    else
        return Verdict::fail(400, reason::kBadValidity,
                             std::string("validity must be DAY, IOC or FOK, not '") + p.validity + "'");
    o.price = o.type == PriceType::Limit ? to_px(p.price) : 0;
    if (o.type == PriceType::Limit && p.price <= 0)
        return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    if (p.volume <= 0) return Verdict::fail(400, reason::kBadVolume, "volume must be above zero");
    if (p.volume % in.lot)
        return Verdict::fail(400, reason::kBadVolume,
                             "volume " + std::to_string(p.volume) + " is not a multiple of the board lot " +
                                 std::to_string(in.lot) + " of " + in.symbol);
    o.qty = p.volume;
    if (p.iceberg < 0 || (p.iceberg > 0 && (p.iceberg % in.lot || p.iceberg > p.volume)))
        return Verdict::fail(400, reason::kBadIceberg,
                             "iceberg volume must be 0 or a multiple of the board lot no larger than the volume");
    o.iceberg = p.iceberg == p.volume ? 0 : p.iceberg;
    o.nvdr = p.nvdr;
    if (!empty(p.trustee)) o.trustee = p.trustee;
    if (p.market == Market::Equity) {
        if (!empty(p.order_type) && !same(p.order_type, "NORMAL"))
            return Verdict::fail(400, reason::kBadOrderType, std::string("order type must be NORMAL, not '") + p.order_type + "'");
    }
    if (!empty(p.trigger_condition)) {
        if (same(p.trigger_condition, "LAST_PAID_OR_HIGHER")) o.trigger_condition = "LAST_PAID_OR_HIGHER";
        else if (same(p.trigger_condition, "LAST_PAID_OR_LOWER")) o.trigger_condition = "LAST_PAID_OR_LOWER";
        else
            return Verdict::fail(400, reason::kBadTrigger,
                                 std::string("trigger condition must be LAST_PAID_OR_HIGHER, LAST_PAID_OR_LOWER or empty, not '") +
                                     p.trigger_condition + "'");
        o.trigger_inst = empty(p.trigger_symbol) ? inst : instrument_index(p.trigger_symbol);
        if (o.trigger_inst < 0)
            return Verdict::fail(400, reason::kBadTrigger, std::string("no instrument ") + p.trigger_symbol + " to trigger on");
        if (p.trigger_price <= 0) return Verdict::fail(400, reason::kBadTrigger, "a stop order needs a trigger price above zero");
        o.trigger_price = to_px(p.trigger_price);
    }
    return check_price(in, o.type, o.price, p.bypass_warning);
}

// Whether the account can carry `o` besides its other orders (`skip` being
// the order's own earlier form). Sets how much of a derivatives order closes.
Verdict BrokerState::check_funds(Order& o, int skip) {
    const Instrument& in = instruments[o.inst];
    const int need = o.remaining();
    if (o.market == Market::Derivatives) {
        DerivativesAccountState& a = derivatives.at(o.account);
        auto pit = a.positions.find(o.inst);
        const int opposite = pit == a.positions.end() ? 0 : o.side == Side::Buy ? pit->second.short_qty : pit->second.long_qty;
        const int available = std::max(0, opposite - pending_close(o.account, o.inst, o.side, skip));
        if (o.position == PositionMode::Close) {
            if (available < need)
                return Verdict::fail(422, reason::kInsufficientPosition,
                                     std::to_string(available) + " " + (o.side == Side::Buy ? "short" : "long") +
                                         " contracts of " + in.symbol + " can be closed in " + o.account + ", the order needs " +
                                         std::to_string(need));
            o.close_left = need;
        } else {
            o.close_left = o.position == PositionMode::Auto ? std::min(available, need) : 0;
        }
        const int opening = need - o.close_left;
        if (opening > 0) {
            const DerivativesFigures f = figures(a);
            // The order's earlier form no longer needs its margin.
            double freed = 0;
            if (skip >= 0 && orders[skip].account == o.account && orders[skip].active() &&
                orders[skip].status != Status::Pending)
                freed = in.im * (orders[skip].remaining() - std::min(orders[skip].close_left, orders[skip].remaining()));
            const double required = in.im * opening, power = f.excess + freed + a.credit_line;
            if (required > power + 1e-6)
                return Verdict::fail(422, reason::kInsufficientFunds,
                                     "opening " + std::to_string(opening) + " contracts of " + in.symbol + " needs margin " +
                                         money(required) + ", " + o.account + " has " + money(power) +
                                         " (excess equity plus credit line)");
        }
        return Verdict::done("");
    }
    EquityAccountState& a = equity.at(o.account);
    if (o.side == Side::Buy) {
        if (!a.can_buy) return Verdict::fail(403, reason::kNotAllowed, o.account + " may not buy");
        const Px px = o.type == PriceType::Limit ? o.price : in.ceiling;
        const double cost = from_px(px) * need * (1 + kFeeReserve);
        const double power = a.cash + a.credit_limit - reserved_buy(a, skip);
        if (cost > power + 1e-6)
            return Verdict::fail(422, reason::kInsufficientFunds,
                                 "buying " + std::to_string(need) + " " + in.symbol + " needs " + money(cost) + ", " +
                                     o.account + " can spend " + money(power));
    } else {
        if (!a.can_sell) return Verdict::fail(403, reason::kNotAllowed, o.account + " may not sell");
        auto pit = a.positions.find(o.inst);
        const std::int64_t held = pit == a.positions.end() ? 0 : pit->second.volume;
        const std::int64_t available = held - pending_sell(o.account, o.inst, skip);
        if (available < need)
            return Verdict::fail(422, reason::kInsufficientPosition,
                                 o.account + " has " + std::to_string(std::max<std::int64_t>(0, available)) + " " +
                                     in.symbol + " available to sell, the order needs " + std::to_string(need));
    }
    return Verdict::done("");
}

// ------------------------------------------------------------------ orders
int BrokerState::find_derivatives_order(std::int32_t no) const {
    auto it = derivatives_orders.find(no);
    return it == derivatives_orders.end() ? -1 : it->second;
}

int BrokerState::find_equity_order(const char* no) const {
    if (!no) return -1;
    auto it = equity_orders.find(no);
    return it == equity_orders.end() ? -1 : it->second;
}

Verdict BrokerState::place(const Placement& p) {
    Order o;
    Verdict v = check_new(p, o);
    if (!v.ok) return v;
    v = check_funds(o, -1);
    if (!v.ok) return v;
    if (o.market == Market::Derivatives) {
        if (next_dno == INT32_MAX) return Verdict::fail(503, reason::kNotAllowed, "no order numbers left");
        o.dno = next_dno++;
    } else {
        o.eno = "EQ" + padded(next_eno++, 8);
    }
    o.entry_t = o.update_t = now;
    o.status = o.trigger_condition.empty() ? Status::Open : Status::Pending;
    if (o.status == Status::Open)
        o.exchange_no = (o.market == Market::Derivatives ? "TFX" : "SET") + padded(next_exchange_no++, 9);
    const int i = static_cast<int>(orders.size());
    orders.push_back(std::move(o));
    if (orders[i].market == Market::Derivatives) derivatives_orders[orders[i].dno] = i;
    else equity_orders[orders[i].eno] = i;
    by_account[orders[i].account].push_back(i);
    note_order(i, "NEW");
    if (orders[i].status == Status::Pending) {
        stops_.insert(i);
        const Instrument& t = instruments[orders[i].trigger_inst];
        if (t.last) triggers_.emplace_back(orders[i].trigger_inst, t.last);  // already met: goes at once
    } else {
        submit(i);
    }
    settle();
    return Verdict::done("order " + orders[i].number() + " accepted", i);
}

void BrokerState::submit(int i) {
    Order& o = orders[i];
    const Instrument& in = instruments[o.inst];
    Taker t{i, o.side, o.type, o.validity,
            o.type == PriceType::Limit ? o.price : (o.side == Side::Buy ? in.ceiling : in.floor), o.remaining()};
    if (o.validity == Validity::FOK && fillable(o.inst, t) < t.remaining) {
        o.cancelled += o.remaining();
        o.status = Status::Expired;
        o.reject_reason = "fill-or-kill: the book could not fill it in full";
        o.update_t = now;
        note_order(i, "EXPIRE");
        return;
    }
    match(o.inst, t);
    Order& after = orders[i];
    if (after.remaining() == 0) return;
    if (after.type == PriceType::Market || after.validity != Validity::Day) {
        after.cancelled += after.remaining();
        after.status = Status::Expired;
        after.reject_reason = after.type == PriceType::Market ? "market order: nothing left to match the rest"
                                                              : "immediate-or-cancel: the rest was not matched";
        after.update_t = now;
        note_order(i, "EXPIRE");
        return;
    }
    rest(i);
}

int BrokerState::fillable(int inst, const Taker& t) const {
    const Book& book = instruments[inst].book;
    int n = 0;
    if (t.side == Side::Buy) {
        for (const auto& [px, q] : book.asks) {
            if (px > t.limit) break;
            for (const Resting& r : q) n += r.remaining;
        }
    } else {
        for (const auto& [px, q] : book.bids) {
            if (px < t.limit) break;
            for (const Resting& r : q) n += r.remaining;
        }
    }
    return n;
}

void BrokerState::match(int inst, Taker& t) {
    Instrument& in = instruments[inst];
    auto run = [&](auto& levels, auto acceptable) {
        while (t.remaining > 0 && !levels.empty()) {
            auto level = levels.begin();
            const Px px = level->first;
            if (!acceptable(px)) break;
            auto& queue = level->second;
            while (t.remaining > 0 && !queue.empty()) {
                Resting& r = queue.front();
                const int n = std::min(t.remaining, r.shown);
                const int owner = r.owner;
                r.remaining -= n;
                r.shown -= n;
                t.remaining -= n;
                if (r.remaining == 0) {
                    queue.pop_front();
                    if (owner >= 0) orders[owner].in_book = false;
                } else if (r.shown == 0) {
                    // An iceberg shows its next slice at the back of the queue.
                    Resting next = r;
                    next.shown = std::min(next.peak, next.remaining);
                    next.seq = next_book_seq++;
                    queue.pop_front();
                    queue.push_back(next);
                }
                if (owner == kLiquidity) in.requote = true;
                if (t.side == Side::Buy) execute(inst, px, n, t.owner, owner);
                else execute(inst, px, n, owner, t.owner);
            }
            if (queue.empty()) levels.erase(level);
        }
    };
    if (t.side == Side::Buy) run(in.book.asks, [&](Px p) { return p <= t.limit; });
    else run(in.book.bids, [&](Px p) { return p >= t.limit; });
}

void BrokerState::execute(int inst, Px px, int qty, int buyer, int seller) {
    Instrument& in = instruments[inst];
    ++tape_seq;
    in.last = px;
    if (!in.open) in.open = in.high = in.low = px;
    in.high = std::max(in.high, px);
    in.low = std::min(in.low, px);
    in.volume += qty;
    const double value = from_px(px) * qty * in.multiplier;
    in.value += value;
    in.last_seq = tape_seq;
    in.last_time = now;
    const std::int64_t minute = now - ((now % 60) + 60) % 60;
    if (in.candles.empty() || in.candles.back().t != minute) {
        in.candles.push_back(Candle{minute, px, px, px, px, qty, value, tape_seq});
    } else {
        Candle& c = in.candles.back();
        c.high = std::max(c.high, px);
        c.low = std::min(c.low, px);
        c.close = px;
        c.volume += qty;
        c.value += value;
        c.seq = tape_seq;
    }
    tape.push_back(Tape{tape_seq, inst, px, qty, now});
    if (tape.size() > 5000) tape.pop_front();
    const std::string deal = "DL" + padded(next_deal++, 8);
    if (buyer >= 0) fill_order(buyer, px, qty, deal);
    if (seller >= 0) fill_order(seller, px, qty, deal);
    dirty_books_.insert(inst);
    dirty_infos_.insert(inst);
    dirty_candles_.insert(inst);
    triggers_.emplace_back(inst, px);
}

void BrokerState::fill_order(int i, Px px, int qty, const std::string& deal) {
    Order& o = orders[i];
    const Instrument& in = instruments[o.inst];
    o.matched += qty;
    o.update_t = now;
    o.status = o.remaining() == 0 ? Status::Matched : Status::Partial;
    Fill f{};
    f.market = o.market;
    f.account = o.account;
    f.order = i;
    f.inst = o.inst;
    f.side = o.side;
    f.px = px;
    f.deal_no = deal;
    f.entered_by = o.entered_by;
    f.trustee = o.trustee;
    f.trade_type = o.trade_report ? "TRADE_REPORT" : "NORMAL";
    f.t = now;
    const double price = from_px(px);
    if (o.market == Market::Derivatives) {
        DerivativesAccountState& a = derivatives.at(o.account);
        DerivativesPositionState& p = a.positions[o.inst];
        const int opposite = o.side == Side::Buy ? p.short_qty : p.long_qty;
        const int closing = std::min({qty, o.close_left, opposite});
        o.close_left -= std::min(qty, o.close_left);
        const int opening = qty - closing;
        if (closing > 0) {
            double realized;
            if (o.side == Side::Buy) {
                realized = (p.short_avg - price) * closing * in.multiplier;
                p.short_qty -= closing;
                p.close_short += closing;
                if (!p.short_qty) p.short_avg = 0;
            } else {
                realized = (price - p.long_avg) * closing * in.multiplier;
                p.long_qty -= closing;
                p.close_long += closing;
                if (!p.long_qty) p.long_avg = 0;
            }
            p.realized += realized;
            a.cash += realized;
            Fill part = f;
            part.close = true;
            part.qty = closing;
            part.ledger_seq = ++a.ledger_seq;
            part.trade_no = "TR" + padded(next_trade++, 8);
            fills.push_back(part);
        }
        if (opening > 0) {
            if (o.side == Side::Buy) {
                p.long_avg = (p.long_avg * p.long_qty + price * opening) / (p.long_qty + opening);
                p.long_qty += opening;
                p.open_long += opening;
            } else {
                p.short_avg = (p.short_avg * p.short_qty + price * opening) / (p.short_qty + opening);
                p.short_qty += opening;
                p.open_short += opening;
            }
            Fill part = f;
            part.qty = opening;
            part.ledger_seq = ++a.ledger_seq;
            part.trade_no = "TR" + padded(next_trade++, 8);
            fills.push_back(part);
        }
    } else {
        EquityAccountState& a = equity.at(o.account);
        EquityPositionState& p = a.positions[o.inst];
        const double value = price * qty;
        f.qty = qty;
        f.brokerage = fee_brokerage(value);
        f.trading = fee_trading(value);
        f.clearing = fee_clearing(value);
        const double fees = f.brokerage + f.trading + f.clearing;
        if (o.side == Side::Buy) {
            a.cash -= value + fees;
            p.avg = (p.avg * p.volume + value) / (p.volume + qty);
            p.volume += qty;
        } else {
            a.cash += value - fees;
            p.realized += (price - p.avg) * qty;
            p.volume -= qty;
            if (!p.volume) p.avg = 0;
        }
        f.trade_no = "TR" + padded(next_trade++, 8);
        fills.push_back(f);
    }
    note_order(i, "MATCH", px, qty);
}

void BrokerState::rest(int i) {
    Order& o = orders[i];
    Instrument& in = instruments[o.inst];
    const int remaining = o.remaining();
    const int peak = o.iceberg > 0 ? o.iceberg : remaining;
    const Resting r{i, remaining, peak, std::min(peak, remaining), next_book_seq++};
    if (o.side == Side::Buy) in.book.bids[o.price].push_back(r);
    else in.book.asks[o.price].push_back(r);
    o.in_book = true;
    dirty_books_.insert(o.inst);
}

void BrokerState::unrest(int i) {
    Order& o = orders[i];
    if (!o.in_book) return;
    Instrument& in = instruments[o.inst];
    auto drop = [&](auto& levels) {
        auto level = levels.find(o.price);
        if (level == levels.end()) return;
        auto& q = level->second;
        q.erase(std::remove_if(q.begin(), q.end(), [&](const Resting& r) { return r.owner == i; }), q.end());
        if (q.empty()) levels.erase(level);
    };
    if (o.side == Side::Buy) drop(in.book.bids);
    else drop(in.book.asks);
    o.in_book = false;
    dirty_books_.insert(o.inst);
}

Verdict BrokerState::cancel(int i, const User& by) {
    Order& o = orders[i];
    if (!o.active())
        return Verdict::fail(409, reason::kNotCancellable,
                             "order " + o.number() + " is " + status_text(o.status) + " and can no longer be cancelled");
    if (o.trade_report)
        return Verdict::fail(409, reason::kNotCancellable, "order " + o.number() + " is a trade report");
    unrest(i);
    stops_.erase(i);
    o.cancelled += o.remaining();
    o.status = Status::Cancelled;
    o.cancelled_by = by.id;
    o.cancel_t = o.update_t = now;
    note_order(i, "CANCEL");
    return Verdict::done("order " + o.number() + " cancelled", i);
}

Verdict BrokerState::change(int i, const Change& c, const User& by) {
    const Order& o = orders[i];
    if (!o.active() || o.trade_report)
        return Verdict::fail(409, reason::kNotChangeable,
                             "order " + o.number() + " is " + status_text(o.status) + " and can no longer be changed");
    const Instrument& in = instruments[o.inst];
    Order n = o;
    bool changed = false, requeue = false;
    if (!c.new_account.empty() && c.new_account != o.account) {
        const bool exists = o.market == Market::Derivatives ? derivatives.count(c.new_account) > 0 : equity.count(c.new_account) > 0;
        const std::string owner = !exists ? "" : o.market == Market::Derivatives ? derivatives.at(c.new_account).owner
                                                                                 : equity.at(c.new_account).owner;
        if (!exists || !may_see(by, owner))
            return Verdict::fail(404, reason::kBadAccount, "no account " + c.new_account + " to move the order to");
        if (o.matched > 0)
            return Verdict::fail(409, reason::kNotChangeable,
                                 "order " + o.number() + " is partly matched; its account can no longer change");
        n.account = c.new_account;
        changed = requeue = true;
    }
    if (!empty(c.price_type)) {
        PriceType t;
        if (same(c.price_type, "LIMIT")) t = PriceType::Limit;
        else if (same(c.price_type, "MARKET")) t = PriceType::Market;
        else return Verdict::fail(400, reason::kBadPriceType, std::string("price type must be LIMIT or MARKET, not '") + c.price_type + "'");
        if (t != n.type) changed = requeue = true, n.type = t;
    }
    if (!empty(c.validity)) {
        Validity v;
        if (same(c.validity, "DAY")) v = Validity::Day;
        else if (same(c.validity, "IOC")) v = Validity::IOC;
        else if (same(c.validity, "FOK")) v = Validity::FOK;
        else return Verdict::fail(400, reason::kBadValidity, std::string("validity must be DAY, IOC or FOK, not '") + c.validity + "'");
        if (v != n.validity) changed = requeue = true, n.validity = v;
    }
    if (n.type == PriceType::Market) {
        n.price = 0;
    } else if (c.price > 0) {
        if (to_px(c.price) != n.price) changed = requeue = true, n.price = to_px(c.price);
    } else if (n.price == 0) {
        return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    }
    if (c.volume < 0) return Verdict::fail(400, reason::kBadVolume, "volume must be above zero");
    if (c.volume > 0 && c.volume != o.qty) {
        if (c.volume <= o.matched)
            return Verdict::fail(400, reason::kBadVolume,
                                 "the new volume must exceed the " + std::to_string(o.matched) + " already matched");
        if (c.volume % in.lot)
            return Verdict::fail(400, reason::kBadVolume,
                                 "volume " + std::to_string(c.volume) + " is not a multiple of the board lot " +
                                     std::to_string(in.lot) + " of " + in.symbol);
        if (c.volume > o.qty) requeue = true;
        n.qty = c.volume;
        changed = true;
    }
    if (c.iceberg < 0 || (c.iceberg > 0 && (c.iceberg % in.lot || c.iceberg > n.qty)))
        return Verdict::fail(400, reason::kBadIceberg,
                             "iceberg volume must be 0 or a multiple of the board lot no larger than the volume");
    if (c.iceberg > 0 && c.iceberg != o.iceberg) n.iceberg = c.iceberg == n.qty ? 0 : c.iceberg, changed = true;
    if (!empty(c.trustee) && c.trustee != o.trustee) n.trustee = c.trustee, changed = true;
    if (c.nvdr >= 0 && (c.nvdr != 0) != o.nvdr) n.nvdr = c.nvdr != 0, changed = true;
    if (!changed) return Verdict::fail(400, reason::kNoChange, "the change leaves order " + o.number() + " as it is");
    if (n.price != o.price || n.type != o.type) {
        const Verdict v = check_price(in, n.type, n.price, c.bypass_warning);
        if (!v.ok) return v;
    }
    const Verdict v = check_funds(n, i);
    if (!v.ok) return v;

    // A lower volume keeps the order's place in the queue; anything else queues it afresh.
    const bool was_in_book = o.in_book;
    if (was_in_book && requeue) unrest(i);
    n.in_book = was_in_book && !requeue;
    n.version = o.version + 1;
    n.update_t = now;
    if (n.account != o.account) {
        auto& mine = by_account[o.account];
        mine.erase(std::remove(mine.begin(), mine.end(), i), mine.end());
        auto& theirs = by_account[n.account];
        theirs.insert(std::upper_bound(theirs.begin(), theirs.end(), i), i);
    }
    orders[i] = std::move(n);
    Order& now_order = orders[i];
    if (now_order.in_book) {
        auto update = [&](auto& book_side) {
            auto level = book_side.find(now_order.price);
            if (level == book_side.end()) return;
            for (Resting& r : level->second)
                if (r.owner == i) {
                    r.remaining = now_order.remaining();
                    r.peak = now_order.iceberg > 0 ? now_order.iceberg : r.remaining;
                    r.shown = std::min({r.shown, r.peak, r.remaining});
                    if (r.shown == 0) r.shown = std::min(r.peak, r.remaining);
                }
        };
        if (now_order.side == Side::Buy) update(instruments[now_order.inst].book.bids);
        else update(instruments[now_order.inst].book.asks);
        dirty_books_.insert(now_order.inst);
    }
    note_order(i, "CHANGE");
    if (orders[i].status != Status::Pending && !orders[i].in_book) submit(i);
    settle();
    return Verdict::done("order " + orders[i].number() + " changed", i);
}

Verdict BrokerState::trade_report(const User& by, const std::string& account, const char* symbol, double price,
                                  int volume, const char* side, const char* position, const std::string& counter_account,
                                  const char* counter_position, std::vector<std::int32_t>& numbers) {
    auto visible = [&](const std::string& no) {
        auto it = derivatives.find(no);
        return it != derivatives.end() && may_see(by, it->second.owner);
    };
    if (!visible(account)) return Verdict::fail(404, reason::kBadAccount, "no derivatives account " + account);
    if (!counter_account.empty() && !visible(counter_account))
        return Verdict::fail(404, reason::kBadAccount, "no derivatives account " + counter_account + " for the counter party");
    if (counter_account == account)
        return Verdict::fail(400, reason::kBadAccount, "a trade report needs two different accounts");
    Placement p{Market::Derivatives, account, by.id, symbol, side, position, "LIMIT", "DAY", price, volume, true};
    Order mine;
    Verdict v = check_new(p, mine);
    if (!v.ok) return v;
    std::vector<Order> sides{mine};
    if (!counter_account.empty()) {
        Placement q = p;
        q.account = counter_account;
        q.side = mine.side == Side::Buy ? "SELL" : "BUY";
        q.position = counter_position;
        Order theirs;
        v = check_new(q, theirs);
        if (!v.ok) return v;
        sides.push_back(theirs);
    }
    for (Order& o : sides) {
        o.trade_report = true;
        v = check_funds(o, -1);
        if (!v.ok) return v;
    }
    const std::string deal = "DL" + padded(next_deal++, 8);
    for (Order& o : sides) {
        o.dno = next_dno++;
        o.entry_t = o.update_t = now;
        o.status = Status::Open;
        o.exchange_no = "TFX" + padded(next_exchange_no++, 9);
        const int i = static_cast<int>(orders.size());
        orders.push_back(o);
        derivatives_orders[o.dno] = i;
        by_account[o.account].push_back(i);
        numbers.push_back(o.dno);
        note_order(i, "NEW");
        fill_order(i, o.price, o.qty, deal);
    }
    return Verdict::done("trade report accepted");
}

// ------------------------------------------------------------ stop orders
void BrokerState::settle() {
    for (std::size_t guard = 0; !triggers_.empty() && guard < 100000; ++guard) {
        const auto [inst, px] = triggers_.front();
        triggers_.erase(triggers_.begin());
        std::vector<int> ready;
        for (int i : stops_) {
            const Order& o = orders[i];
            if (o.trigger_inst != inst) continue;
            const bool met = o.trigger_condition == "LAST_PAID_OR_HIGHER" ? px >= o.trigger_price : px <= o.trigger_price;
            if (met) ready.push_back(i);
        }
        for (int i : ready) {
            stops_.erase(i);
            activate(i);
        }
    }
    triggers_.clear();
}

void BrokerState::activate(int i) {
    Order& o = orders[i];
    o.update_t = now;
    Verdict v = check_funds(o, i);
    if (!v.ok) {
        o.cancelled += o.remaining();
        o.status = Status::Rejected;
        o.reject_code = v.number;
        o.reject_reason = v.message();
        note_order(i, "REJECT");
        return;
    }
    o.status = Status::Open;
    o.exchange_no = (o.market == Market::Derivatives ? "TFX" : "SET") + padded(next_exchange_no++, 9);
    note_order(i, "ACTIVATE");
    submit(i);
}

// ----------------------------------------------------------------- market
void BrokerState::clamp_fair(Instrument& in) {
    const Px hi = tick_down(*this, in, in.ceiling), lo = tick_up(*this, in, in.floor);
    in.fair = grid_round(*this, in, std::clamp(in.fair, lo, hi));
}

double BrokerState::normal() {
    const double u1 = std::max(uniform(), 1e-300), u2 = uniform();
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

void BrokerState::move_fair(int inst) {
    Instrument& in = instruments[inst];
    const Px before = in.fair;
    if (in.link >= 0) {
        in.exact = instruments[in.link].exact + from_px(in.link_offset);
    } else {
        // A random walk with a slight pull back towards the reference price.
        const double hours = options.tick_seconds / 3600.0, ref = from_px(in.reference);
        in.exact += in.volatility * ref * std::sqrt(hours) * normal() - 0.05 * hours * (in.exact - ref);
    }
    in.fair = to_px(in.exact);
    clamp_fair(in);
    if (in.fair != before) in.requote = true;
}

void BrokerState::set_fair(int inst, Px price) {
    Instrument& in = instruments[inst];
    in.fair = price;
    clamp_fair(in);
    in.exact = from_px(in.fair);
    requote(inst);
    for (std::size_t j = 0; j < instruments.size(); ++j)
        if (instruments[j].link == inst) {
            instruments[j].exact = in.exact + from_px(instruments[j].link_offset);
            instruments[j].fair = to_px(instruments[j].exact);
            clamp_fair(instruments[j]);
            requote(static_cast<int>(j));
        }
    settle();
}

void BrokerState::requote(int inst) {
    Instrument& in = instruments[inst];
    auto withdraw = [](auto& levels) {
        for (auto level = levels.begin(); level != levels.end();) {
            auto& q = level->second;
            q.erase(std::remove_if(q.begin(), q.end(), [](const Resting& r) { return r.owner == kLiquidity; }), q.end());
            level = q.empty() ? levels.erase(level) : std::next(level);
        }
    };
    withdraw(in.book.bids);
    withdraw(in.book.asks);
    dirty_books_.insert(inst);
    in.requote = false;
    if (!options.liquidity) return;
    Px bid = tick_down(*this, in, in.fair), ask = tick_up(*this, in, in.fair);
    for (int k = 0; k < in.lp_levels; ++k) {
        for (Side side : {Side::Buy, Side::Sell}) {
            const Px px = side == Side::Buy ? bid : ask;
            if (px < in.floor || px > in.ceiling) continue;
            const double scale = (1 + 0.5 * k) * (0.5 + uniform());
            const int size = in.lot * std::max(1, static_cast<int>(in.lp_size * scale));
            Taker t{kLiquidity, side, PriceType::Limit, Validity::Day, px, size};
            match(inst, t);
            if (t.remaining > 0) {
                const Resting r{kLiquidity, t.remaining, t.remaining, t.remaining, next_book_seq++};
                if (side == Side::Buy) in.book.bids[px].push_back(r);
                else in.book.asks[px].push_back(r);
            }
        }
        bid = tick_down(*this, in, bid);
        ask = tick_up(*this, in, ask);
    }
}

void BrokerState::flow(int inst) {
    Instrument& in = instruments[inst];
    if (uniform() >= in.flow_chance) return;
    const Side side = uniform() < 0.5 ? Side::Buy : Side::Sell;
    const int lots = std::max(1, static_cast<int>(in.lp_size * (0.2 + uniform() * in.flow_max)));
    Taker t{kFlow, side, PriceType::Market, Validity::IOC, side == Side::Buy ? in.ceiling : in.floor, lots * in.lot};
    match(inst, t);
}

void BrokerState::step(std::int64_t ticks) {
    for (std::int64_t k = 0; k < ticks; ++k) {
        now += options.tick_seconds;
        for (std::size_t i = 0; i < instruments.size(); ++i) move_fair(static_cast<int>(i));
        for (std::size_t i = 0; i < instruments.size(); ++i)
            if (instruments[i].requote) requote(static_cast<int>(i));
        if (options.activity)
            for (std::size_t i = 0; i < instruments.size(); ++i) flow(static_cast<int>(i));
        settle();
    }
}

}  // namespace tvx::sandbox
