// Candlestick history and the realtime subscriptions.
//
// The candlestick request reads: symbol (arg2), interval (arg3: 1m 3m 5m 10m
// 15m 30m 60m 1d 1w), the number of most recent candles wanted (arg4, 1 to
// 1000), the normalised flag (arg5; no corporate actions here, so it changes
// nothing), and the start and end of the range of opening times (arg6, arg7;
// "" for open-ended, the end then being the broker's clock).
#include <algorithm>
#include <limits>

#include "broker_ops.h"

namespace tvx::sandbox {

namespace {
constexpr std::int32_t kMaxCandles = 1000;

template <class T>
Column<T> column(Arena& arena, const std::vector<T>& items) {
    return {arena.keep(items), static_cast<std::int64_t>(items.size()), 0};
}
}  // namespace

CandlestickResult Broker<37, CandlestickResult>::call(Cfg cfg, const CandlestickRequest* q) {
    using R = CandlestickResult;
    Call c(37);
    R r{};
    if (!c.admit_any(cfg ? cfg->channel_id : nullptr, r)) return r;
    if (!q) return c.refuse<R>(400, "no request");
    if (!q->arg2 || !*q->arg2) return c.refuse<R>(400, "a symbol is needed");
    const int inst = c.b.instrument_index(q->arg2);
    if (inst < 0) return c.refuse<R>(404, "UNKNOWN_SYMBOL: no instrument " + str(q->arg2));
    const IntervalSpec* iv = find_interval(q->arg3);
    if (!iv) return c.refuse<R>(400, "unknown interval: " + str(q->arg3) + " (one of 1m, 3m, 5m, 10m, 15m, 30m, 60m, 1d, 1w)");
    if (q->arg4 < 1 || q->arg4 > kMaxCandles)
        return c.refuse<R>(400, "number of candles must be 1 to " + std::to_string(kMaxCandles));
    std::int64_t start = std::numeric_limits<std::int64_t>::min(), end = c.b.now;
    if (q->arg6 && *q->arg6 && !parse_time(q->arg6, start)) return c.refuse<R>(400, "bad start time: " + str(q->arg6));
    if (q->arg7 && *q->arg7 && !parse_time(q->arg7, end)) return c.refuse<R>(400, "bad end time: " + str(q->arg7));

    const Instrument& in = c.b.instruments[inst];
    std::vector<Candle> all = aggregate(in, *iv);
    std::vector<Candle> picked;
    for (const Candle& k : all)
        if (k.t >= start && k.t <= end) picked.push_back(k);
    if (picked.size() > static_cast<std::size_t>(q->arg4)) picked.erase(picked.begin(), picked.end() - q->arg4);

    std::vector<std::int32_t> time, volume;
    std::vector<double> open, high, low, close;
    for (const Candle& k : picked) {
        time.push_back(static_cast<std::int32_t>(k.t));
        open.push_back(from_px(k.open));
        high.push_back(from_px(k.high));
        low.push_back(from_px(k.low));
        close.push_back(from_px(k.close));
        volume.push_back(static_cast<std::int32_t>(std::min<std::int64_t>(k.volume, std::numeric_limits<std::int32_t>::max())));
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

SubscribeResult subscribe(int op, Topic topic, text channel, text subject, text subject2, EventReceiver receiver, text key) {
    Call c(op);
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
                const IntervalSpec* iv = find_interval(subject2);
                if (!iv) return refuse("unknown interval: " + second + " (one of 1m, 3m, 5m, 10m, 15m, 30m, 60m, 1d, 1w)");
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
    Subscription s{c.b.next_handle++, topic, key, what, second, str(channel), c.user->id, "", receiver};
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

SubscribeResult Broker<43, SubscribeResult>::call(text, text channel, text, text subject, EventReceiver receiver, text key) {
    return subscribe(43, Topic::BidOffer, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<47, SubscribeResult>::call(text, text channel, text, text subject, EventReceiver receiver, text key) {
    return subscribe(47, Topic::Info, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<44, SubscribeResult>::call(text, text channel, text, text subject, text subject2,
                                                  EventReceiver receiver, text key) {
    return subscribe(44, Topic::Candle, channel, subject, subject2, receiver, key);
}
SubscribeResult Broker<45, SubscribeResult>::call(text, text channel, text, text subject, EventReceiver receiver, text key) {
    return subscribe(45, Topic::DerivativesOrder, channel, subject, nullptr, receiver, key);
}
SubscribeResult Broker<46, SubscribeResult>::call(text, text channel, text, text subject, EventReceiver receiver, text key) {
    return subscribe(46, Topic::EquityOrder, channel, subject, nullptr, receiver, key);
}

// Ends the stream at once: events still queued for it are dropped by the event
// worker, and nothing here waits for a delivery in flight. Only the user who
// subscribed (through any of their channels) may end it.
UnsubscribeResult Broker<48, UnsubscribeResult>::call(text, text channel, std::uint64_t handle) {
    Call c(48);
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
