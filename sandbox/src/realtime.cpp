// Realtime: what each topic's payload holds, how a broker operation's changes
// become events, and the two threads of the library (the event thread that
// calls the module's receivers, the clock that moves the market).
//
// Events are collected while the broker's lock is held and handed to the
// event thread, which calls receivers holding no lock at all: a receiver takes
// the interpreter lock, and the thread that holds that lock may be waiting for
// the broker.
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "broker_state.h"

namespace tvx::sandbox {

// ---------------------------------------------------------------- intervals
namespace {
constexpr IntervalSpec kIntervals[] = {
    {"1m", 60, 0},      {"3m", 180, 0},     {"5m", 300, 0},  {"10m", 600, 0},         {"15m", 900, 0},
    {"30m", 1800, 0},   {"60m", 3600, 0},   {"1d", 86400, 0}, {"1w", 604800, 345600},  // weeks open on Mondays
};

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
}  // namespace

const IntervalSpec* find_interval(const char* name) {
    if (!name) return nullptr;
    for (const IntervalSpec& i : kIntervals)
        if (std::strcmp(i.name, name) == 0) return &i;
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

// ------------------------------------------------------------------- orders
OrderTexts BrokerState::order_texts(const Order& o) const {
    OrderTexts t;
    t.number = o.number();
    t.entry_date = date_text(o.entry_t);
    t.entry_time = time_text(o.entry_t);
    t.update_time = time_text(o.update_t);
    t.status = status_text(o.status);
    t.side = side_text(o);
    t.symbol = instruments[o.inst].symbol;
    t.position = o.position == PositionMode::Open ? "OPEN" : o.position == PositionMode::Close ? "CLOSE" : "AUTO";
    t.price_type = o.type == PriceType::Limit ? "LIMIT" : "MARKET";
    t.validity = o.validity == Validity::Day ? "DAY" : o.validity == Validity::IOC ? "IOC" : "FOK";
    t.exchange_no = o.exchange_no;
    t.trigger_condition = o.trigger_condition;
    t.trigger_symbol = o.trigger_inst >= 0 ? instruments[o.trigger_inst].symbol : "";
    t.reject_reason = o.reject_reason;
    t.cancel_id = o.cancelled_by;
    t.cancel_time = o.status == Status::Cancelled ? time_text(o.cancel_t) : "";
    switch (o.status) {
        case Status::Pending:
            t.show = "Waiting for trigger";
            t.meaning = "stop order: enters the book when the last price of " + t.trigger_symbol + " is " +
                        (o.trigger_condition == "LAST_PAID_OR_HIGHER" ? "at or above " : "at or below ") +
                        json::Writer().value(from_px(o.trigger_price)).str();
            break;
        case Status::Open: t.show = "Queuing", t.meaning = "queuing in the order book"; break;
        case Status::Partial:
            t.show = "Partially matched";
            t.meaning = std::to_string(o.matched) + " matched, " + std::to_string(o.remaining()) + " queuing";
            break;
        case Status::Matched: t.show = "Matched", t.meaning = "fully matched"; break;
        case Status::Cancelled:
            t.show = "Cancelled";
            t.meaning = "cancelled by " + o.cancelled_by +
                        (o.matched ? " after " + std::to_string(o.matched) + " matched" : std::string());
            break;
        case Status::Expired: t.show = "Expired", t.meaning = o.reject_reason; break;
        case Status::Rejected: t.show = "Rejected", t.meaning = o.reject_reason; break;
    }
    return t;
}

void BrokerState::order_json(json::Writer& w, const Order& o) const {
    const OrderTexts t = order_texts(o);
    auto maybe = [&](const char* key, const std::string& s) {
        w.key(key);
        s.empty() ? w.null() : w.value(s);
    };
    if (o.market == Market::Derivatives) {
        w.field("account_no", o.account).field("balance_qty", o.remaining()).field("cancel_qty", o.cancelled);
        w.field("entry_date", t.entry_date).field("entry_id", o.entered_by).field("entry_time", t.entry_time);
        w.field("is_stop_order_not_activate", o.status == Status::Pending ? "Y" : "N");
        w.field("match_qty", o.matched).field("order_no", o.dno).field("position", t.position);
        w.field("price", from_px(o.price)).field("price_type", t.price_type).field("qty", o.qty);
        w.field("reject_code", o.reject_code);
        maybe("reject_reason", t.reject_reason);
        w.field("show_status", t.show).field("side", t.side).field("status", t.status);
        w.field("status_meaning", t.meaning).field("symbol", t.symbol);
        maybe("tfx_order_no", t.exchange_no);
        maybe("trigger_condition", t.trigger_condition);
        w.field("trigger_price", from_px(o.trigger_price));
        maybe("trigger_symbol", o.trigger_condition.empty() ? std::string() : t.trigger_symbol);
        w.field("validity", t.validity).field("version", o.version);
        return;
    }
    w.field("can_cancel", o.active() && !o.trade_report).field("can_change_account", o.active() && o.matched == 0);
    w.field("account_no", o.account).field("balance", o.remaining());
    maybe("cancel_id", t.cancel_id);
    maybe("cancel_time", t.cancel_time);
    w.field("cancelled", o.cancelled);
    w.key("counter_party_member").null();
    w.field("enter_id", o.entered_by).field("entry_time", t.entry_time).field("iceberg_vol", o.iceberg);
    w.field("matched", o.matched).field("nvdr_flag", o.nvdr ? "Y" : "N").field("order_no", o.eno);
    w.field("order_type", o.order_type).field("price", from_px(o.price)).field("price_type", t.price_type);
    w.field("reject_code", o.reject_code);
    maybe("reject_reason", t.reject_reason);
    maybe("set_order_no", t.exchange_no);
    w.field("show_order_status", t.show).field("show_order_status_meaning", t.meaning);
    w.field("side", t.side).field("status", t.status).field("symbol", t.symbol);
    w.field("trade_date", t.entry_date);
    w.key("trade_report_type").null();
    w.field("trade_time", t.update_time).field("validity", t.validity).field("version", o.version).field("vol", o.qty);
    w.field("can_change_price_vol", o.active()).field("can_change_trustee_id", o.active()).field("trade_report", o.trade_report);
}

void BrokerState::note_order(int i, const char* event, Px match_px, int match_qty) {
    const Order& o = orders[i];
    const Topic topic = o.market == Market::Derivatives ? Topic::DerivativesOrder : Topic::EquityOrder;
    if (!watched(topic, o.account)) return;
    json::Writer w;
    w.begin_object().field("event", event).field("event_time", date_text(now) + "T" + time_text(now));
    if (match_qty) w.field("match_price", from_px(match_px)).field("match_volume", match_qty);
    order_json(w, o);
    w.end_object();
    order_events_.push_back({topic, {o.account, w.take()}});
}

// ---------------------------------------------------------------- payloads
bool BrokerState::watched(Topic t, const std::string& subject) const {
    for (const auto& [h, s] : subscriptions)
        if (s.topic == t && s.subject == subject) return true;
    return false;
}

std::string BrokerState::book_payload(int inst) const {
    const Instrument& in = instruments[inst];
    json::Writer w;
    w.begin_object().field("symbol", in.symbol).field("time", date_text(now) + "T" + time_text(now));
    auto side = [&](const char* prices, const char* volumes, const auto& levels) {
        std::vector<std::pair<double, std::int64_t>> top;
        for (const auto& [px, q] : levels) {
            std::int64_t shown = 0;
            for (const Resting& r : q) shown += r.shown;
            top.emplace_back(from_px(px), shown);
            if (top.size() == 5) break;
        }
        w.key(prices).begin_array();
        for (auto& [p, v] : top) w.value(p);
        w.end_array().key(volumes).begin_array();
        for (auto& [p, v] : top) w.value(v);
        w.end_array();
    };
    side("bid_price", "bid_volume", in.book.bids);
    side("ask_price", "ask_volume", in.book.asks);
    return w.end_object().take();
}

std::string BrokerState::info_payload(int inst) const {
    const Instrument& in = instruments[inst];
    json::Writer w;
    auto price = [&](const char* key, Px p) {
        w.key(key);
        p ? w.value(from_px(p)) : w.null();
    };
    w.begin_object().field("symbol", in.symbol).field("time", date_text(now) + "T" + time_text(now));
    w.field("sequence", in.last_seq);
    price("last", in.last);
    w.field("prior_close", from_px(in.reference));
    w.key("change");
    in.last ? w.value(from_px(in.last - in.reference)) : w.null();
    w.key("percent_change");
    in.last ? w.value(std::round(10000.0 * (in.last - in.reference) / in.reference) / 100) : w.null();
    price("open", in.open);
    price("high", in.high);
    price("low", in.low);
    w.field("ceiling", from_px(in.ceiling)).field("floor", from_px(in.floor));
    w.field("total_volume", in.volume).field("total_value", in.value);
    w.key("average");
    in.volume ? w.value(in.value / in.multiplier / static_cast<double>(in.volume)) : w.null();
    price("best_bid", in.book.bids.empty() ? 0 : in.book.bids.begin()->first);
    price("best_ask", in.book.asks.empty() ? 0 : in.book.asks.begin()->first);
    return w.end_object().take();
}

std::string BrokerState::candle_payload(int inst, const std::string& interval) const {
    const Instrument& in = instruments[inst];
    const IntervalSpec* iv = find_interval(interval.c_str());
    if (!iv || in.candles.empty()) return "";
    // Only the newest candle changes: combine the minutes that fall into its interval.
    const std::int64_t start = iv->origin + floor_div(in.candles.back().t - iv->origin, iv->seconds) * iv->seconds;
    Candle c{};
    bool first = true;
    for (auto it = in.candles.rbegin(); it != in.candles.rend() && it->t >= start; ++it) {
        if (first) c = *it, first = false;
        else {
            c.open = it->open;
            c.high = std::max(c.high, it->high);
            c.low = std::min(c.low, it->low);
            c.volume += it->volume;
            c.value += it->value;
        }
    }
    json::Writer w;
    w.begin_object().field("symbol", in.symbol).field("interval", interval).field("time", start);
    w.field("open", from_px(c.open)).field("high", from_px(c.high)).field("low", from_px(c.low));
    w.field("close", from_px(c.close)).field("volume", c.volume).field("value", c.value).field("sequence", c.seq);
    return w.end_object().take();
}

void BrokerState::flush() {
    std::vector<Event> out;
    for (auto& [topic, item] : order_events_)
        for (const auto& [h, s] : subscriptions)
            if (s.topic == topic && s.subject == item.first) out.push_back(Event{h, s.receiver, false, s.key, "", item.second});
    auto snapshots = [&](const std::set<int>& dirty, Topic topic) {
        for (int inst : dirty) {
            const std::string& symbol = instruments[inst].symbol;
            if (!watched(topic, symbol)) continue;
            const std::string payload = topic == Topic::BidOffer ? book_payload(inst) : info_payload(inst);
            const std::string cache_key = std::string(topic_name(topic)) + "," + symbol;
            for (const auto& [h, s] : subscriptions)
                if (s.topic == topic && s.subject == symbol) out.push_back(Event{h, s.receiver, true, s.key, cache_key, payload});
        }
    };
    snapshots(dirty_books_, Topic::BidOffer);
    snapshots(dirty_infos_, Topic::Info);
    for (int inst : dirty_candles_) {
        std::map<std::string, std::string> by_interval;
        for (const auto& [h, s] : subscriptions) {
            if (s.topic != Topic::Candle || s.subject != instruments[inst].symbol) continue;
            auto it = by_interval.find(s.subject2);
            if (it == by_interval.end()) it = by_interval.emplace(s.subject2, candle_payload(inst, s.subject2)).first;
            if (!it->second.empty()) out.push_back(Event{h, s.receiver, false, s.key, "", it->second});
        }
    }
    order_events_.clear();
    dirty_books_.clear();
    dirty_infos_.clear();
    dirty_candles_.clear();
    if (!out.empty()) dispatch(std::move(out));
}

// A newcomer to a cached stream gets the current picture from us only when the
// module has none to replay: nothing delivered since the last login, or the
// last subscriber of the key left and we told the module to drop it.
std::vector<Event> BrokerState::initial_events(const Subscription& s) {
    if ((s.topic != Topic::BidOffer && s.topic != Topic::Info) || delivered.count(s.cache_key)) return {};
    const int inst = instrument_index(s.subject.c_str());
    if (inst < 0) return {};
    const std::string payload = s.topic == Topic::BidOffer ? book_payload(inst) : info_payload(inst);
    return {Event{s.handle, s.receiver, true, s.key, s.cache_key, payload}};
}

// --------------------------------------------------------------- event thread
namespace {

struct Dispatcher {
    std::mutex m;
    std::condition_variable wake, idle;
    std::deque<Event> queue;
    bool busy = false, started = false;
    std::uint64_t delivered = 0;
    std::thread::id thread;
};

Dispatcher& dispatcher() {
    static Dispatcher* d = new Dispatcher;  // the thread outlives static destruction
    return *d;
}

// Receivers run Python code. Once the interpreter is finalizing, a thread that
// asks for its lock is ended on the spot, so we stop delivering instead.
bool interpreter_finalizing() {
#if defined(_WIN32)
    return false;  // no process-wide symbol lookup there; the receivers check for themselves
#else
    using Probe = int (*)();
    static const Probe probe = reinterpret_cast<Probe>(dlsym(RTLD_DEFAULT, "_Py_IsFinalizing"));
    return probe && probe() != 0;
#endif
}

void deliver(const Event& ev) {
    BrokerState& b = broker();
    {
        std::lock_guard<std::mutex> g(b.lock);
        if (!b.subscriptions.count(ev.handle)) return;  // unsubscribed while queued
    }
    if (interpreter_finalizing()) return;
    EventRecord rec{};
    rec.cache = ev.cache ? 1 : 0;
    rec.subscription_key = ev.key.c_str();
    rec.cache_key = ev.cache ? ev.cache_key.c_str() : nullptr;
    rec.payload = ev.payload.c_str();
    bool ok = false;
    try {
        ev.receiver(&rec);
        ok = true;
    }
    TVX_CATCH_FORCED_UNWIND
    catch (...) {
        // The receiver reports a failed callback by throwing; the stream goes on.
    }
    if (ok && ev.cache) {
        std::lock_guard<std::mutex> g(b.lock);
        if (b.subscriptions.count(ev.handle)) b.delivered.insert(ev.cache_key);
    }
}

void event_loop() {
    Dispatcher& d = dispatcher();
    for (;;) {
        Event ev;
        {
            std::unique_lock<std::mutex> lk(d.m);
            d.wake.wait(lk, [&] { return !d.queue.empty(); });
            ev = std::move(d.queue.front());
            d.queue.pop_front();
            d.busy = true;
        }
        deliver(ev);
        std::lock_guard<std::mutex> lk(d.m);
        d.busy = false;
        ++d.delivered;
        if (d.queue.empty()) d.idle.notify_all();
    }
}

}  // namespace

void dispatch(std::vector<Event> events) {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lk(d.m);
    for (Event& e : events) d.queue.push_back(std::move(e));
    if (!d.started) {
        d.started = true;
        std::thread t(event_loop);
        d.thread = t.get_id();
        t.detach();
    }
    d.wake.notify_one();
}

bool drain_events(int timeout_ms) {
    Dispatcher& d = dispatcher();
    std::unique_lock<std::mutex> lk(d.m);
    auto quiet = [&] { return d.queue.empty() && !d.busy; };
    if (std::this_thread::get_id() == d.thread) return quiet();  // called from a receiver: it cannot wait for itself
    return d.idle.wait_for(lk, std::chrono::milliseconds(timeout_ms), quiet);
}

void drop_events() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lk(d.m);
    d.queue.clear();
    if (!d.busy) d.idle.notify_all();
}

std::uint64_t events_delivered() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lk(d.m);
    return d.delivered;
}

std::size_t events_queued() {
    Dispatcher& d = dispatcher();
    std::lock_guard<std::mutex> lk(d.m);
    return d.queue.size() + (d.busy ? 1 : 0);
}

// ------------------------------------------------------------------- clock
namespace {

struct Clock {
    std::mutex m;
    std::condition_variable cv;
    bool running = false, started = false;
    int interval_ms = 250;
    std::uint64_t generation = 0;
};

Clock& clock_state() {
    static Clock* c = new Clock;
    return *c;
}

void clock_loop() {
    Clock& c = clock_state();
    for (;;) {
        std::uint64_t generation;
        {
            std::unique_lock<std::mutex> lk(c.m);
            c.cv.wait(lk, [&] { return c.running; });
            generation = c.generation;
            const auto interval = std::chrono::milliseconds(c.interval_ms);
            if (c.cv.wait_for(lk, interval, [&] { return c.generation != generation; })) continue;
        }
        BrokerState& b = broker();
        std::lock_guard<std::mutex> g(b.lock);
        {
            // A reset or stop that came in meanwhile wins over this tick.
            std::lock_guard<std::mutex> lk(c.m);
            if (c.generation != generation || !c.running) continue;
        }
        b.step(1);
        b.flush();
    }
}

}  // namespace

void clock_configure(bool running, int interval_ms) {
    Clock& c = clock_state();
    std::lock_guard<std::mutex> lk(c.m);
    c.running = running;
    c.interval_ms = std::max(1, interval_ms);
    ++c.generation;
    if (running && !c.started) {
        c.started = true;
        std::thread(clock_loop).detach();
    }
    c.cv.notify_all();
}

bool clock_running() {
    Clock& c = clock_state();
    std::lock_guard<std::mutex> lk(c.m);
    return c.running;
}

}  // namespace tvx::sandbox
