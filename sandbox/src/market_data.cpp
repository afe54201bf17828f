#include "market_data.h"

#include <algorithm>
#include <cmath>

#include "calendar.h"
#include "json.h"

namespace tvx::sandbox {

// ---------------------------------------------------------------- intervals
namespace {
constexpr IntervalRule kIntervals[] = {
    {"1m", 60, 0},    {"3m", 180, 0},   {"5m", 300, 0},   {"10m", 600, 0},        {"15m", 900, 0},
    {"30m", 1800, 0}, {"60m", 3600, 0}, {"1d", 86400, 0}, {"1w", 604800, 345600},  // weeks open on Mondays
};
}  // namespace

const IntervalRule* find_interval(const char* name) {
    if (!name) return nullptr;
    for (const IntervalRule& i : kIntervals)
        if (same_text(i.name, name)) return &i;
    return nullptr;
}

std::vector<Candle> aggregate(const std::vector<Candle>& minutes, const IntervalRule& iv) {
    std::vector<Candle> out;
    for (const Candle& c : minutes) {
        const std::int64_t t = calendar::period_start(c.t, iv.seconds, iv.origin);
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

// What price information shows, held so that it is formatted only when delivered.
struct MarketData::InfoSnapshot {
    std::string symbol;
    std::int64_t time;
    DayFigures day;
    Px reference, ceiling, floor, best_bid, best_ask;
    double multiplier;

    std::string json() const {
        json::Writer w;
        auto price = [&](const char* key, Px v) {
            w.key(key);
            v ? w.value(from_px(v)) : w.null();
        };
        w.begin_object().field("symbol", symbol).field("time", calendar::stamp(time));
        w.field("sequence", day.last_seq);
        price("last", day.last);
        w.field("prior_close", from_px(reference));
        w.key("change");
        day.last ? w.value(from_px(day.last - reference)) : w.null();
        w.key("percent_change");
        day.last ? w.value(std::round(10000.0 * (day.last - reference) / reference) / 100) : w.null();
        price("open", day.open);
        price("high", day.high);
        price("low", day.low);
        w.field("ceiling", from_px(ceiling)).field("floor", from_px(floor));
        w.field("total_volume", day.volume).field("total_value", day.value);
        w.key("average");
        day.volume ? w.value(day.value / multiplier / static_cast<double>(day.volume)) : w.null();
        price("best_bid", best_bid);
        price("best_ask", best_ask);
        return w.end_object().take();
    }
};

MarketData::InfoSnapshot MarketData::info_snapshot(int inst, std::int64_t t) const {
    const Instrument& in = instruments_[inst];
    return InfoSnapshot{in.symbol,    t,        lines_[inst].day, in.reference,
                        in.ceiling,   in.floor, best_bid(inst),   best_ask(inst),
                        in.multiplier};
}

// ------------------------------------------------------------------ trades
void MarketData::print(int inst, Px px, int qty, std::int64_t t) {
    Line& l = lines_[inst];
    DayFigures& d = l.day;
    ++tape_seq_;
    d.last = px;
    if (!d.open) d.open = d.high = d.low = px;
    d.high = std::max(d.high, px);
    d.low = std::min(d.low, px);
    d.volume += qty;
    const double value = from_px(px) * qty * instruments_[inst].multiplier;
    d.value += value;
    d.last_seq = tape_seq_;
    d.last_time = t;
    const std::int64_t minute = calendar::minute_of(t);
    if (l.candles.empty() || l.candles.back().t != minute) {
        l.candles.push_back(Candle{minute, px, px, px, px, qty, value, tape_seq_});
    } else {
        Candle& c = l.candles.back();
        c.high = std::max(c.high, px);
        c.low = std::min(c.low, px);
        c.close = px;
        c.volume += qty;
        c.value += value;
        c.seq = tape_seq_;
    }
    tape_.push_back(Print{tape_seq_, inst, px, qty, t});
    if (tape_.size() > kTapeLength) tape_.pop_front();

    const std::string& symbol = instruments_[inst].symbol;
    if (sink_.watched(Topic::Info, symbol))
        sink_.note(Topic::Info, symbol, inst, [p = info_snapshot(inst, t)](const std::string&) { return p.json(); });
    if (sink_.watched(Topic::Candle, symbol)) {
        const std::size_t k = l.candles.size() - 1;
        sink_.note(Topic::Candle, symbol, inst, [this, inst, k, minute = l.candles.back()](const std::string& iv) {
            return candle_picture(inst, iv, k, minute);
        });
    }
}

void MarketData::restart(int inst, std::size_t minutes) {
    Line& l = lines_[inst];
    l.day = DayFigures{};
    l.quote = ShownQuote{};
    std::vector<Candle>().swap(l.candles);
    l.candles.reserve(minutes);
    tape_.erase(std::remove_if(tape_.begin(), tape_.end(), [&](const Print& p) { return p.inst == inst; }),
                tape_.end());
}

void MarketData::show_quote(int inst, Px bid, std::int64_t bid_volume, Px ask, std::int64_t ask_volume,
                            std::int64_t t) {
    ShownQuote& q = lines_[inst].quote;
    q.bid = bid;
    q.ask = ask;
    q.bid_volume = bid_volume;
    q.ask_volume = ask_volume;
    book_changed(inst, t);
}

void MarketData::book_changed(int inst, std::int64_t t) {
    if (quiet_) return;
    const std::string& symbol = instruments_[inst].symbol;
    if (!sink_.watched(Topic::BidOffer, symbol)) return;
    std::string payload = book_picture(inst, t);
    // Within one operation a change nobody can see (a hidden iceberg part) is no event.
    std::string& last = last_book_[inst];
    if (last == payload) return;
    last = payload;
    sink_.note(Topic::BidOffer, symbol, inst, [payload = std::move(payload)](const std::string&) { return payload; });
}

// ---------------------------------------------------------------- pictures
namespace {

using Levels = std::vector<std::pair<Px, std::int64_t>>;  // best first, up to five

Levels top_levels(const engine::Book& book, const ShownQuote& quote, engine::Side side) {
    Levels top;
    for (const engine::LevelView& l : book.depth(side, 5)) top.emplace_back(l.price, l.shown);
    // A replay's quote shows beside the users' own orders.
    const bool buy = side == engine::Side::Buy;
    const Px q = buy ? quote.bid : quote.ask;
    if (!q) return top;
    const std::int64_t v = buy ? quote.bid_volume : quote.ask_volume;
    auto it = std::find_if(top.begin(), top.end(), [&](auto& l) { return buy ? l.first <= q : l.first >= q; });
    if (it != top.end() && it->first == q)
        it->second += v;
    else
        top.insert(it, {q, v});
    if (top.size() > 5) top.pop_back();
    return top;
}

}  // namespace

Px MarketData::best_bid(int inst) const {
    const Px b = instruments_[inst].book->best_bid(), q = lines_[inst].quote.bid;
    return b && q ? std::max(b, q) : b ? b : q;
}

Px MarketData::best_ask(int inst) const {
    const Px b = instruments_[inst].book->best_ask(), q = lines_[inst].quote.ask;
    return b && q ? std::min(b, q) : b ? b : q;
}

std::string MarketData::book_picture(int inst, std::int64_t t) const {
    const Instrument& in = instruments_[inst];
    const ShownQuote& q = lines_[inst].quote;
    json::Writer w;
    w.begin_object().field("symbol", in.symbol).field("time", calendar::stamp(t));
    auto side = [&](const char* prices, const char* volumes, const Levels& top) {
        w.key(prices).begin_array();
        for (auto& [px, v] : top) w.value(from_px(px));
        w.end_array().key(volumes).begin_array();
        for (auto& [px, v] : top) w.value(v);
        w.end_array();
    };
    side("bid_price", "bid_volume", top_levels(*in.book, q, engine::Side::Buy));
    side("ask_price", "ask_volume", top_levels(*in.book, q, engine::Side::Sell));
    return w.end_object().take();
}

std::string MarketData::info_picture(int inst, std::int64_t t) const { return info_snapshot(inst, t).json(); }

std::string MarketData::candle_picture(int inst, const std::string& interval, std::size_t k,
                                       const Candle& minute) const {
    const std::vector<Candle>& candles = lines_[inst].candles;
    const IntervalRule* iv = find_interval(interval.c_str());
    if (!iv) return "";
    const std::int64_t start = calendar::period_start(minute.t, iv->seconds, iv->origin);
    Candle c = minute;
    for (std::size_t j = std::min(k, candles.size()); j-- > 0 && candles[j].t >= start;) {
        const Candle& m = candles[j];
        c.open = m.open;
        c.high = std::max(c.high, m.high);
        c.low = std::min(c.low, m.low);
        c.volume += m.volume;
        c.value += m.value;
    }
    json::Writer w;
    w.begin_object().field("symbol", instruments_[inst].symbol).field("interval", interval).field("time", start);
    w.field("open", from_px(c.open)).field("high", from_px(c.high)).field("low", from_px(c.low));
    w.field("close", from_px(c.close)).field("volume", c.volume).field("value", c.value).field("sequence", c.seq);
    return w.end_object().take();
}

std::string MarketData::current_picture(Topic topic, int inst, std::int64_t t) const {
    if (topic == Topic::BidOffer) return book_picture(inst, t);
    if (topic == Topic::Info) return info_picture(inst, t);
    return "";
}

}  // namespace tvx::sandbox
