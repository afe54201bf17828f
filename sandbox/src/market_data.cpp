// Market data: what the tape, candles and price information hold, how a
// trade updates them, and the pictures (book, price information, candle) the
// streams deliver, captured when the book changes or a trade prints.
#include <algorithm>
#include <cstring>

#include "broker_state.h"

namespace tvx::sandbox {

// ---------------------------------------------------------------- intervals
namespace {
constexpr IntervalSpec kIntervals[] = {
    {"1m", 60, 0},    {"3m", 180, 0},   {"5m", 300, 0},   {"10m", 600, 0},        {"15m", 900, 0},
    {"30m", 1800, 0}, {"60m", 3600, 0}, {"1d", 86400, 0}, {"1w", 604800, 345600},  // weeks open on Mondays
};

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
}  // namespace

const IntervalSpec* find_interval(const char* name) {
    if (!name) return nullptr;
    for (const IntervalSpec& i : kIntervals)
        if (same_text(i.name, name)) return &i;
    return nullptr;
}

std::vector<Candle> aggregate(const Instrument& in, const IntervalSpec& iv) {
    std::vector<Candle> out;
    for (const Candle& c : in.candles) {
        const std::int64_t t = iv.origin + floor_div(c.t - iv.origin, iv.seconds) * iv.seconds;
        if (out.empty() || out.back().t != t) {
            Candle n = c;
            n.t = t;
            out.push_back(n);
            continue;
        }
        Candle& a = out.back();
        a.high = std::max(a.high, c.high);
        a.low = std::min(a.low, c.low);
        a.close = c.close;
        a.volume += c.volume;
        a.value += c.value;
        a.seq = c.seq;
    }
    return out;
}

// ------------------------------------------------------------------ trades
// A trade printed on the market: the instrument's day figures, its minute
// candle and the tape move, and the streams learn of it.
void BrokerState::print_trade(int inst, Px px, int qty) {
    Instrument& in = instruments[inst];
    ++tape_seq;
    in.last = px;
    ledger.set_mark(inst, px);
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
    note_trade(inst);
}

// ---------------------------------------------------------------- pictures
namespace {

struct BookPicture {
    std::string symbol;
    std::int64_t time;
    std::vector<std::pair<Px, std::int64_t>> bids, asks;  // best first, up to five
};

std::vector<std::pair<Px, std::int64_t>> top_levels(const Instrument& in, engine::Side side) {
    std::vector<std::pair<Px, std::int64_t>> top;
    for (const engine::LevelView& l : in.book->depth(side, 5)) top.emplace_back(l.price, l.shown);
    // A replay's quote shows beside the users' own orders.
    const bool buy = side == engine::Side::Buy;
    const Px q = buy ? in.quote_bid : in.quote_ask;
    if (!q) return top;
    const std::int64_t v = buy ? in.quote_bid_volume : in.quote_ask_volume;
    auto it = std::find_if(top.begin(), top.end(), [&](auto& l) { return buy ? l.first <= q : l.first >= q; });
    if (it != top.end() && it->first == q)
        it->second += v;
    else
        top.insert(it, {q, v});
    if (top.size() > 5) top.pop_back();
    return top;
}

Px best_of(const Instrument& in, engine::Side side) {
    const bool buy = side == engine::Side::Buy;
    const Px b = buy ? in.book->best_bid() : in.book->best_ask(), q = buy ? in.quote_bid : in.quote_ask;
    if (!b || !q) return b ? b : q;
    return buy ? std::max(b, q) : std::min(b, q);
}

std::string time_stamp(std::int64_t t) { return BrokerState::date_text(t) + "T" + BrokerState::time_text(t); }

std::string book_json(const BookPicture& p) {
    json::Writer w;
    w.begin_object().field("symbol", p.symbol).field("time", time_stamp(p.time));
    auto side = [&](const char* prices, const char* volumes, const auto& top) {
        w.key(prices).begin_array();
        for (auto& [px, v] : top) w.value(from_px(px));
        w.end_array().key(volumes).begin_array();
        for (auto& [px, v] : top) w.value(v);
        w.end_array();
    };
    side("bid_price", "bid_volume", p.bids);
    side("ask_price", "ask_volume", p.asks);
    return w.end_object().take();
}

struct InfoPicture {
    std::string symbol;
    std::int64_t time;
    std::uint64_t seq;
    Px last, reference, open, high, low, ceiling, floor, best_bid, best_ask;
    std::int64_t volume;
    double value, multiplier;
};

std::string info_json(const InfoPicture& p) {
    json::Writer w;
    auto price = [&](const char* key, Px v) {
        w.key(key);
        v ? w.value(from_px(v)) : w.null();
    };
    w.begin_object().field("symbol", p.symbol).field("time", time_stamp(p.time));
    w.field("sequence", p.seq);
    price("last", p.last);
    w.field("prior_close", from_px(p.reference));
    w.key("change");
    p.last ? w.value(from_px(p.last - p.reference)) : w.null();
    w.key("percent_change");
    p.last ? w.value(std::round(10000.0 * (p.last - p.reference) / p.reference) / 100) : w.null();
    price("open", p.open);
    price("high", p.high);
    price("low", p.low);
    w.field("ceiling", from_px(p.ceiling)).field("floor", from_px(p.floor));
    w.field("total_volume", p.volume).field("total_value", p.value);
    w.key("average");
    p.volume ? w.value(p.value / p.multiplier / static_cast<double>(p.volume)) : w.null();
    price("best_bid", p.best_bid);
    price("best_ask", p.best_ask);
    return w.end_object().take();
}

}  // namespace

std::string BrokerState::book_payload(int inst) const {
    const Instrument& in = instruments[inst];
    return book_json(
        BookPicture{in.symbol, now, top_levels(in, engine::Side::Buy), top_levels(in, engine::Side::Sell)});
}

namespace {
InfoPicture info_picture(const Instrument& in, std::int64_t now) {
    return InfoPicture{in.symbol,
                       now,
                       in.last_seq,
                       in.last,
                       in.reference,
                       in.open,
                       in.high,
                       in.low,
                       in.ceiling,
                       in.floor,
                       best_of(in, engine::Side::Buy),
                       best_of(in, engine::Side::Sell),
                       in.volume,
                       in.value,
                       in.multiplier};
}
}  // namespace

std::string BrokerState::info_payload(int inst) const { return info_json(info_picture(instruments[inst], now)); }

// The newest candle of `interval` as it stood when minute candle `k` looked
// like `minute` (older minutes no longer change).
std::string BrokerState::candle_payload(int inst, const std::string& interval, std::size_t k,
                                        const Candle& minute) const {
    const Instrument& in = instruments[inst];
    const IntervalSpec* iv = find_interval(interval.c_str());
    if (!iv) return "";
    const std::int64_t start = iv->origin + floor_div(minute.t - iv->origin, iv->seconds) * iv->seconds;
    Candle c = minute;
    for (std::size_t j = k; j-- > 0 && in.candles[j].t >= start;) {
        const Candle& m = in.candles[j];
        c.open = m.open;
        c.high = std::max(c.high, m.high);
        c.low = std::min(c.low, m.low);
        c.volume += m.volume;
        c.value += m.value;
    }
    json::Writer w;
    w.begin_object().field("symbol", in.symbol).field("interval", interval).field("time", start);
    w.field("open", from_px(c.open)).field("high", from_px(c.high)).field("low", from_px(c.low));
    w.field("close", from_px(c.close)).field("volume", c.volume).field("value", c.value).field("sequence", c.seq);
    return w.end_object().take();
}

// --------------------------------------------------------------- the notes
void BrokerState::note_book(int inst) {
    if (book_quiet_) return;
    const Instrument& in = instruments[inst];
    if (!streams.watched(Topic::BidOffer, in.symbol)) return;
    std::string payload = book_payload(inst);
    // Within one operation a change nobody can see (a hidden iceberg part) is no event.
    auto& last = last_book_[inst];
    if (last == payload) return;
    last = payload;
    streams.note(Topic::BidOffer, in.symbol, inst,
                 [payload = std::move(payload)](const std::string&) { return payload; });
}

void BrokerState::note_trade(int inst) {
    const Instrument& in = instruments[inst];
    if (streams.watched(Topic::Info, in.symbol)) {
        streams.note(Topic::Info, in.symbol, inst,
                     [p = info_picture(in, now)](const std::string&) { return info_json(p); });
    }
    if (streams.watched(Topic::Candle, in.symbol) && !in.candles.empty()) {
        const std::size_t k = in.candles.size() - 1;
        streams.note(Topic::Candle, in.symbol, inst,
                     [this, inst, k, minute = in.candles.back()](const std::string& iv) {
                         return candle_payload(inst, iv, k, minute);
                     });
    }
}

std::string BrokerState::current_picture(Topic t, const std::string& subject) const {
    if (t != Topic::BidOffer && t != Topic::Info) return "";
    const int inst = instrument_index(subject.c_str());
    if (inst < 0) return "";
    return t == Topic::BidOffer ? book_payload(inst) : info_payload(inst);
}

void BrokerState::flush() {
    streams.flush();
    last_book_.clear();
}

}  // namespace tvx::sandbox
