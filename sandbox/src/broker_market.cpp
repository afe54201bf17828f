// Candlestick history and the realtime subscriptions. The normalized flag of
// the candlestick request changes nothing (no corporate actions here); an
// empty start or end leaves the range open (the end then being the clock).
#include <algorithm>
#include <limits>

#include "broker_ops.h"
#include "requests.h"

namespace tvx::sandbox {

namespace {
constexpr std::int32_t kMaxCandles = 1000;

template <class T>
Column<T> column(Arena& arena, const std::vector<T>& items) {
    return {arena.keep(items), static_cast<std::int64_t>(items.size()), 0};
}
}  // namespace

CandlestickResult Broker<Op::get_candlesticks>::call(Cfg cfg, const CandlestickRequest* q) {
    using R = CandlestickResult;
    Call c(cfg);
    R r{};
    if (!c.admit_any(cfg ? cfg->channel_id : nullptr, r)) return r;
    if (!q) return c.refuse<R>(400, "no request");
    const auto f = Request<CandlestickRequest>::of(*q);
    if (!f.symbol || !*f.symbol) return c.refuse<R>(400, "a symbol is needed");
    const int inst = c.b.instrument_index(f.symbol);
    if (inst < 0) return c.refuse<R>(404, "UNKNOWN_SYMBOL: no instrument " + str(f.symbol));
    const IntervalRule* iv = find_interval(f.interval);
    if (!iv)
        return c.refuse<R>(400,
                           "unknown interval: " + str(f.interval) + " (one of 1m, 3m, 5m, 10m, 15m, 30m, 60m, 1d, 1w)");
    if (f.count < 1 || f.count > kMaxCandles)
        return c.refuse<R>(400, "number of candles must be 1 to " + std::to_string(kMaxCandles));
    std::int64_t start = std::numeric_limits<std::int64_t>::min(), end = c.b.now;
    if (f.start && *f.start && !calendar::parse_time(f.start, start))
        return c.refuse<R>(400, "bad start time: " + str(f.start));
    if (f.end && *f.end && !calendar::parse_time(f.end, end)) return c.refuse<R>(400, "bad end time: " + str(f.end));

    const Instrument& in = c.b.instruments[inst];
    std::vector<Candle> all = aggregate(c.b.market_data.candles(inst), *iv);
    std::vector<Candle> picked;
    for (const Candle& k : all)
        if (k.t >= start && k.t <= end) picked.push_back(k);
    if (picked.size() > static_cast<std::size_t>(f.count)) picked.erase(picked.begin(), picked.end() - f.count);

    std::vector<std::int32_t> time, volume;
    std::vector<double> open, high, low, close;
    for (const Candle& k : picked) {
        time.push_back(static_cast<std::int32_t>(k.t));
        open.push_back(from_px(k.open));
        high.push_back(from_px(k.high));
        low.push_back(from_px(k.low));
        close.push_back(from_px(k.close));
        volume.push_back(
            static_cast<std::int32_t>(std::min<std::int64_t>(k.volume, std::numeric_limits<std::int32_t>::max())));
    }
    r.time = column(c.arena, time);
    r.open = column(c.arena, open);
    r.high = column(c.arena, high);
    r.low = column(c.arena, low);
    r.close = column(c.arena, close);
    r.volume = column(c.arena, volume);
    r.success = 1;
    r.status_code = 200;
    r.last_sequence = picked.empty() ? 0 : static_cast<std::int32_t>(picked.back().seq);
    r.message = c.arena.keep(std::to_string(picked.size()) + " candles of " + in.symbol + " at " + iv->name);
    return r;
}

// ----------------------------------------------------------- subscriptions
namespace {

SubscribeResult subscribe(Topic topic, text channel, text subject, text subject2, EventReceiver receiver, text key) {
    Call c(channel);
    SubscribeResult r{};
    if (!c.admit_any(channel, r)) return r;
    auto refuse = [&](const std::string& why) { return c.refuse<SubscribeResult>(0, why); };
    if (!receiver) return refuse("no event receiver");
    if (!key) return refuse("no subscription key");
    std::string what = str(subject), second = str(subject2);
    switch (topic) {
        case Topic::BidOffer:
        case Topic::Info:
        case Topic::Candle: {
            const int inst = c.b.instrument_index(subject);
            if (inst < 0) return refuse("unknown symbol: " + what);
            what = c.b.instruments[inst].symbol;  // as the market writes it, whatever the case given
            if (topic == Topic::Candle) {
                const IntervalRule* iv = find_interval(subject2);
                if (!iv)
                    return refuse("unknown interval: " + second + " (one of 1m, 3m, 5m, 10m, 15m, 30m, 60m, 1d, 1w)");
                second = iv->name;
            }
            break;
        }
        case Topic::DerivativesOrder:
            if (!c.derivatives_account(subject)) return refuse("derivatives account not found: " + what);
            break;
        case Topic::EquityOrder:
            if (!c.equity_account(subject)) return refuse("equity account not found: " + what);
            break;
    }
    Subscription s{new_handle(), topic, key, what, second, str(channel), c.user->id, "", receiver};
    if (topic == Topic::BidOffer || topic == Topic::Info) s.cache_key = std::string(topic_name(topic)) + "," + what;
    // Every newcomer to a cached topic gets the current picture, whatever the
    // module may hold from earlier: the rule needs no idea of its cache.
    c.b.streams.first_event(s, c.b.current_picture(topic, what));
    r.success = 1;
    r.handle = s.handle;
    c.b.streams.add(std::move(s));
    return r;
}

}  // namespace

SubscribeResult Broker<Op::subscribe_bid_offer>::call(text, text channel, text, text subject, EventReceiver receiver,
                                                      text key) {
    return subscribe(Topic::BidOffer, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<Op::subscribe_price_info>::call(text, text channel, text, text subject, EventReceiver receiver,
                                                       text key) {
    return subscribe(Topic::Info, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<Op::subscribe_candlestick>::call(text, text channel, text, text subject, text subject2,
                                                        EventReceiver receiver, text key) {
    return subscribe(Topic::Candle, channel, subject, subject2, receiver, key);
}
SubscribeResult Broker<Op::subscribe_derivatives_order>::call(text, text channel, text, text subject,
                                                              EventReceiver receiver, text key) {
    return subscribe(Topic::DerivativesOrder, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<Op::subscribe_equity_order>::call(text, text channel, text, text subject, EventReceiver receiver,
                                                         text key) {
    return subscribe(Topic::EquityOrder, channel, subject, nullptr, receiver, key);
}

// Ends the stream at once: events still queued for it are dropped by the event
// worker, and nothing here waits for a delivery in flight. Only the user who
// subscribed (through any of their channels) may end it.
UnsubscribeResult Broker<Op::unsubscribe>::call(text, text channel, std::uint64_t handle) {
    Call c(channel);
    UnsubscribeResult r{};
    const Subscription* s = c.b.streams.find(handle);
    if (!s) return r;
    const User* u = c.b.session(channel);
    if (!u || u->id != s->user) {
        r.internal_error = c.arena.keep("unsubscribe refused: the subscription belongs to another user's channel");
        return r;
    }
    const std::string cache_key = c.b.streams.remove(handle);
    if (cache_key.empty()) return r;
    // The last reader is gone: the module drops its copy.
    r.remove_cache = 1;
    r.cache_key = c.arena.keep(cache_key);
    return r;
}

}  // namespace tvx::sandbox
