#include "replay.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "tick_grid.h"

namespace tvx::sandbox {

namespace {

constexpr std::uint64_t kHeader = 24, kDescriptor = 64;
constexpr char kMagic[8] = {'T', 'V', 'X', 'H', 'I', 'S', 'T', '\0'};

template <class T>
T read(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string row_error(const std::string& symbol, std::uint64_t row, const std::string& what) {
    return "history of " + symbol + ", row " + std::to_string(row + 1) + ": " + what;
}

}  // namespace

void Replay::clear() {
    block_.clear();
    series_.clear();
    done_ = total_ = 0;
}

std::string Replay::load(BrokerState& b, const std::uint8_t* block, std::uint64_t size) {
    if (!block || size < kHeader || std::memcmp(block, kMagic, 8) != 0)
        return "not a history block (its magic is wrong)";
    const auto version = read<std::uint32_t>(block + 8);
    const auto count = read<std::uint32_t>(block + 12);
    if (version != 1) return "history block of layout " + std::to_string(version) + "; this library reads layout 1";
    if (read<std::uint64_t>(block + 16) != size || count == 0 || count > (size - kHeader) / kDescriptor)
        return "history block of a wrong size, or with no series";
    // A copy, aligned for its 8-byte columns: the caller's bytes may go once this returns.
    std::vector<std::uint64_t> copy((size + 7) / 8);
    std::memcpy(copy.data(), block, size);
    const auto* base = reinterpret_cast<const std::uint8_t*>(copy.data());

    std::vector<Series> all;
    std::uint64_t total = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint8_t* d = base + kHeader + k * kDescriptor;
        Series s{};
        s.kind = static_cast<Kind>(d[0]);
        if (s.kind < Bars || s.kind > Quotes) return "series " + std::to_string(k + 1) + " is of no known kind";
        if (d[8 + 31] != 0) return "series " + std::to_string(k + 1) + " has a symbol of more than 31 bytes";
        s.symbol = reinterpret_cast<const char*>(d + 8);
        s.rows = read<std::uint64_t>(d + 48);
        const std::uint64_t at = read<std::uint64_t>(d + 56);
        const std::uint64_t columns = s.kind == Bars ? 6 : s.kind == Trades ? 3 : 5;
        const std::uint64_t side_bytes = s.kind == Trades ? (s.rows + 7) / 8 * 8 : 0;
        if (at % 8 || at > size || s.rows > size / 8 || at + s.rows * 8 * columns + side_bytes > size)
            return "series " + std::to_string(k + 1) + " (" + s.symbol + ") lies outside the block";
        s.inst = b.instrument_index(s.symbol.c_str());
        if (s.inst < 0)
            return "unknown symbol '" + s.symbol + "': define it first (tavrolix_sandbox.broker.seed(instruments=...))";
        const std::uint8_t* c = base + at;
        auto col = [&](std::uint64_t i) { return c + i * 8 * s.rows; };
        s.time = reinterpret_cast<const std::int64_t*>(col(0));
        if (s.kind == Bars) {
            for (int i = 0; i < 4; ++i) s.f[i] = reinterpret_cast<const double*>(col(1 + i));
            s.v[0] = reinterpret_cast<const std::int64_t*>(col(5));
        } else if (s.kind == Trades) {
            s.f[0] = reinterpret_cast<const double*>(col(1));
            s.v[0] = reinterpret_cast<const std::int64_t*>(col(2));
            s.side = reinterpret_cast<const std::int8_t*>(col(3));
        } else {
            s.f[0] = reinterpret_cast<const double*>(col(1));
            s.v[0] = reinterpret_cast<const std::int64_t*>(col(2));
            s.f[1] = reinterpret_cast<const double*>(col(3));
            s.v[1] = reinterpret_cast<const std::int64_t*>(col(4));
        }
        // The loader checked all this; the library does not trust its input.
        const Instrument& in = b.instruments[s.inst];
        const int prices = s.kind == Bars ? 4 : s.kind == Trades ? 1 : 2;
        for (std::uint64_t r = 0; r < s.rows; ++r) {
            if (s.time[r] < calendar::kFirstRecordTime || s.time[r] > calendar::kLastRecordTime)
                return row_error(s.symbol, r,
                                 "time " + std::to_string(s.time[r]) + " lies outside what the records hold (" +
                                     calendar::stamp(calendar::kFirstRecordTime) + "Z to " +
                                     calendar::stamp(calendar::kLastRecordTime) + "Z)");
            if (r && (s.kind == Bars ? s.time[r] <= s.time[r - 1] : s.time[r] < s.time[r - 1]))
                return row_error(s.symbol, r, "time goes back");
            for (int i = 0; i < prices; ++i) {
                const double p = s.f[i][r];
                Px px = 0;
                if (const engine::PriceRead why = engine::read_price(p, px); why != engine::PriceRead::Ok)
                    return row_error(s.symbol, r, engine::price_refusal(why, p));
                if (px % tick_at(in, px) != 0)
                    return row_error(s.symbol, r,
                                     "price " + engine::price_text(px) + " is off the tick grid " +
                                         engine::price_text(tick_at(in, px)) + " of " + in.symbol);
            }
            for (int i = 0; i < (s.kind == Quotes ? 2 : 1); ++i)
                if (s.v[i][r] < 0 || s.v[i][r] > INT32_MAX) return row_error(s.symbol, r, "volume out of range");
            if (s.kind == Trades && (s.side[r] < -1 || s.side[r] > 1)) return row_error(s.symbol, r, "unknown side");
            if (s.kind == Trades && s.v[0][r] == 0) return row_error(s.symbol, r, "a trade of no volume");
            if (s.kind == Bars) {
                const double o = s.f[0][r], h = s.f[1][r], l = s.f[2][r], cl = s.f[3][r];
                if (l > h || o < l || o > h || cl < l || cl > h)
                    return row_error(s.symbol, r, "not low <= open, close <= high");
            }
            if (s.kind == Quotes && s.f[0][r] >= s.f[1][r]) return row_error(s.symbol, r, "bid not below ask");
        }
        total += s.rows;
        all.push_back(s);
    }
    for (std::size_t i = 0; i < b.orders.size(); ++i) {
        const Order& o = b.orders[i];
        for (const Series& s : all)
            if (o.inst == s.inst && o.active())
                return "order " + o.number() + " on " + s.symbol + " is still open: cancel it, or reset first";
    }

    // Start: the instruments stop being simulated and start over from the history.
    block_ = std::move(copy);
    series_ = std::move(all);
    done_ = 0;
    total_ = total;
    std::int64_t first = INT64_MAX;
    // A minute candle per minute the prints fall in, held in one allocation of
    // that size: doubling as it grows would keep up to twice as much, and both
    // buffers at once while it moves.
    std::vector<std::uint64_t> minutes(b.instruments.size(), 0);
    std::vector<bool> fresh(b.instruments.size(), false), quoted(b.instruments.size(), false);
    for (const Series& s : series_) {
        if (s.rows) first = std::min(first, s.time[0]);
        fresh[s.inst] = true;
        quoted[s.inst] = quoted[s.inst] || s.kind == Quotes;
        if (s.kind == Quotes) continue;
        std::int64_t last = INT64_MIN;
        for (std::uint64_t r = 0; r < s.rows; ++r) {
            const std::int64_t m = calendar::minute_of(s.time[r]);
            minutes[s.inst] += m != last;
            last = m;
        }
    }
    // Every instrument of the block starts over, replayed before or not.
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (!fresh[i]) continue;
        b.start_replayed(static_cast<int>(i), minutes[i]);
        b.market_data.set_quoted(static_cast<int>(i), quoted[i]);
    }
    // The first day's reference: the instrument's earliest price in the history.
    std::vector<const Series*> earliest(b.instruments.size(), nullptr);
    for (const Series& s : series_)
        if (s.rows && (!earliest[s.inst] || s.time[0] < earliest[s.inst]->time[0])) earliest[s.inst] = &s;
    for (std::size_t i = 0; i < earliest.size(); ++i) {
        if (!earliest[i]) continue;
        Instrument& in = b.instruments[i];
        in.reference = to_px(earliest[i]->f[0][0]);
        b.restart_instrument(static_cast<int>(i));
    }
    if (first != INT64_MAX) b.now = first;
    sync_session(b);  // the session as it stands at the history's first time
    return "";
}

std::size_t Replay::next_series() const {
    std::size_t best = series_.size();
    for (std::size_t k = 0; k < series_.size(); ++k) {
        const Series& s = series_[k];
        if (s.pos < s.rows && (best == series_.size() || s.time[s.pos] < series_[best].time[series_[best].pos]))
            best = k;
    }
    return best;
}

std::int64_t Replay::next_time() const {
    const std::size_t k = next_series();
    return k == series_.size() ? INT64_MAX : series_[k].time[series_[k].pos];
}

// The clock meets, in order, what the live clock would between now and `t`:
// each UTC midnight starts a replayed day, and the session (when scheduled)
// opens and closes at its times.
void Replay::advance(BrokerState& b, std::int64_t t) {
    if (t <= b.now) return;
    const std::int64_t first = calendar::day_of(b.now), last = calendar::day_of(t);
    for (std::int64_t d = first; d <= last; ++d) {
        // Days between with nothing open repeat the one before: skip to the last two.
        if (d > first + 2 && d < last - 1) d = last - 1;
        const std::int64_t base = d * calendar::kDay;
        const calendar::Schedule& session = b.options.session;
        const std::int64_t marks[3] = {base, base + session.open_second, base + session.close_second};
        for (std::int64_t x : marks) {
            if (x <= b.now || x > t) continue;
            b.now = x;
            // A close at 24:00 (the default) is the next day's midnight.
            if (calendar::second_of_day(x) == 0)
                for (std::size_t i = 0; i < b.instruments.size(); ++i)
                    if (b.instruments[i].replayed) new_day(b, static_cast<int>(i));
            sync_session(b);
        }
    }
    b.now = t;
}

void Replay::sync_session(BrokerState& b) {
    if (b.options.session.scheduled) b.sync_session();
}

// A new day: yesterday's last price is the reference of today's limits, and
// the day's figures start over.
void Replay::new_day(BrokerState& b, int inst) { b.start_day(inst); }

void Replay::apply_next(BrokerState& b) {
    const std::size_t k = next_series();
    if (k == series_.size()) return;
    Series& s = series_[k];
    const std::uint64_t r = s.pos++;
    ++done_;
    advance(b, s.time[r]);
    switch (s.kind) {
        case Bars:
            bar(b, s.inst, to_px(s.f[0][r]), to_px(s.f[1][r]), to_px(s.f[2][r]), to_px(s.f[3][r]), s.v[0][r]);
            break;
        case Trades:
            trade(b, s.inst, to_px(s.f[0][r]), s.v[0][r], s.side[r]);
            break;
        case Quotes:
            quote(b, s.inst, to_px(s.f[0][r]), s.v[0][r], to_px(s.f[1][r]), s.v[1][r]);
            break;
    }
    b.exchange.settle();
}

// MARKET orders waiting fill at `px`. A buy of an equity account above the
// price its hold was made at fills only what the account can carry at `px`
// (its hold raised to `px` with the fill, the rest ends): an account without
// credit never goes below zero on a gap.
void Replay::fill_waiting(BrokerState& b, int inst, Px px) {
    std::vector<int> waiting;
    waiting.swap(b.instruments[inst].waiting);
    for (int i : waiting) {
        Order& o = b.orders[i];
        if (!o.active()) continue;
        std::int64_t qty = o.remaining();
        if (o.side == Side::Buy && o.market == Market::Equity) {
            const engine::OrderTerms* held = b.ledger.order(i);
            if (held && px > held->hold_price) qty = affordable(b, i, px);
        }
        if (qty > 0) b.exchange.fill_outside(i, px, qty);
        if (b.orders[i].active())
            b.exchange.expire(i, "market buy: at " + json::Writer().value(from_px(px)).str() + " " +
                                     b.orders[i].account + " can pay for " + std::to_string(qty) +
                                     "; the rest was not filled");
    }
}

// The most of MARKET buy `i` (whole lots, up to what remains) its account
// can carry at `px`; the order then holds at `px`.
std::int64_t Replay::affordable(BrokerState& b, int i, Px px) {
    Order& o = b.orders[i];
    const int lot = b.instruments[o.inst].lot;
    auto carries = [&](std::int64_t q) {
        Order n = o;
        n.hold = px;
        n.qty = static_cast<int>(n.matched + n.cancelled + q);
        return b.exchange.check_funds(n, i).ok;
    };
    std::int64_t lo = 0, hi = o.remaining() / lot;  // in lots: lo carried, above hi not
    if (carries(hi * lot)) {
        lo = hi;
    } else {
        while (hi - lo > 1) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            (carries(mid * lot) ? lo : hi) = mid;
        }
    }
    o.hold = px;
    b.exchange.rehold(i);
    return lo * lot;
}

// An order of a replayed instrument comes in (`submit`). True when it is
// dealt with here; false sends it on to the book.
bool Replay::submit(BrokerState& b, int i) {
    Order& o = b.orders[i];
    Instrument& in = b.instruments[o.inst];
    if (o.type == PriceType::Market) {
        if (o.validity == Validity::Day) {
            in.waiting.push_back(i);  // the next print or bar fills it
            return true;
        }
        // Immediate: history fills only at its prints, and none is now.
        b.exchange.expire(i, std::string(o.validity == Validity::FOK ? "fill-or-kill" : "immediate-or-cancel") +
                                 ": a replayed market fills market orders only at its next print, not now");
        return true;
    }
    // A limit order queues behind what was quoted at its price, and never
    // ahead of our own earlier orders' place there.
    const bool buy = o.side == Side::Buy;
    const ShownQuote& q = b.market_data.quote(o.inst);
    std::int64_t ahead = !q.quoted ? 0
                         : buy     ? (o.price == q.bid ? q.bid_volume : 0)
                                   : (o.price == q.ask ? q.ask_volume : 0);
    in.book->for_each_order(buy ? engine::Side::Buy : engine::Side::Sell, [&](const engine::RestingView& r) {
        if (r.id >= 0 && r.id != i && r.price == o.price) ahead = std::max(ahead, b.orders[r.id].ahead);
    });
    o.ahead = ahead;
    return false;
}

void Replay::trade(BrokerState& b, int inst, Px px, std::int64_t volume, int aggressor) {
    Instrument& in = b.instruments[inst];
    if (!b.market_data.quote(inst).quoted) {
        // No quotes in the history: the book shown is the liquidity provider's
        // best level around the print (shown only: history alone fills orders).
        const std::int64_t size = static_cast<std::int64_t>(in.lp_size) * in.lot;
        b.market_data.show_quote(inst, tick_down(in, px), size, tick_up(in, px), size, b.now);
    }
    b.exchange.outside_trade(inst, px, static_cast<int>(volume));
    fill_waiting(b, inst, px);
    std::vector<std::pair<int, std::int64_t>> fills;
    for (engine::Side side : {engine::Side::Buy, engine::Side::Sell}) {
        const bool buy = side == engine::Side::Buy;
        // At the print's price the volume is shared in time priority: each
        // order's turn comes after the volume quoted ahead of it and after
        // our own orders ahead of it.
        std::int64_t own = 0, own_filled = 0;
        in.book->for_each_order(side, [&](const engine::RestingView& r) {
            if (r.id < 0) return;
            Order& o = b.orders[static_cast<std::size_t>(r.id)];
            if (buy ? r.price > px : r.price < px) {
                fills.emplace_back(static_cast<int>(r.id), r.remaining);  // the level was taken
            } else if (r.price == px && aggressor != (buy ? 1 : -1)) {
                const std::int64_t n = std::clamp<std::int64_t>(volume - (o.ahead + own), 0, r.remaining);
                o.ahead -= std::min(o.ahead, std::max<std::int64_t>(0, volume - own_filled));
                own += r.remaining;
                own_filled += n;
                if (n > 0) fills.emplace_back(static_cast<int>(r.id), n);
            }
        });
    }
    // At the order's price: a print through it took the whole level.
    for (auto [i, q] : fills) b.exchange.fill_outside(i, b.orders[static_cast<std::size_t>(i)].price, q);
}

void Replay::bar(BrokerState& b, int inst, Px open, Px high, Px low, Px close, std::int64_t volume) {
    fill_waiting(b, inst, open);
    // Orders resting before the bar, oldest first; a touch fills the whole order.
    std::vector<std::pair<int, Px>> fills;
    Instrument& in = b.instruments[inst];
    for (engine::Side side : {engine::Side::Buy, engine::Side::Sell}) {
        const bool buy = side == engine::Side::Buy;
        in.book->for_each_order(side, [&](const engine::RestingView& r) {
            if (r.id < 0) return;
            if (buy ? open <= r.price : open >= r.price)
                fills.emplace_back(static_cast<int>(r.id), open);
            else if (buy ? low <= r.price : high >= r.price)
                fills.emplace_back(static_cast<int>(r.id), r.price);
        });
    }
    std::sort(fills.begin(), fills.end());
    for (auto [i, px] : fills) b.exchange.fill_outside(i, px, b.orders[i].remaining());
    const bool high_first = high - open <= open - low;
    const Px path[4] = {open, high_first ? high : low, high_first ? low : high, close};
    const std::int64_t quarter = volume / 4;
    for (int k = 0; k < 4; ++k) {
        b.exchange.outside_trade(inst, path[k], static_cast<int>(k < 3 ? quarter : volume - 3 * quarter));
    }
}

void Replay::quote(BrokerState& b, int inst, Px bid, std::int64_t bid_volume, Px ask, std::int64_t ask_volume) {
    b.market_data.show_quote(inst, bid, bid_volume, ask, ask_volume, b.now);
}

std::string Replay::state_json(const BrokerState& b, bool running) const {
    json::Writer w;
    w.begin_object().field("loaded", loaded()).field("running", running);
    w.field("events", total_).field("done", done_).field("left", total_ - done_).field("now", b.now);
    const std::int64_t next = next_time();
    w.key("next");
    next == INT64_MAX ? w.null() : w.value(next);
    w.key("series").begin_array();
    for (const Series& s : series_) {
        w.begin_object()
            .field("symbol", s.symbol)
            .field("kind", s.kind == Bars     ? "bars"
                           : s.kind == Trades ? "trades"
                                              : "quotes");
        w.field("rows", s.rows).field("position", s.pos).end_object();
    }
    w.end_array();
    return w.end_object().take();
}

}  // namespace tvx::sandbox
