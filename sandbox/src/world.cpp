// The sandbox's world: its instruments, users and accounts, how the control
// package resets and seeds it, and the state it reports back.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "broker_state.h"

namespace tvx::sandbox {

namespace {

Instrument equity_stock(const char* symbol, double price, int lp_size) {
    Instrument in;
    in.symbol = symbol;
    in.market = Market::Equity;
    in.security_type = "STOCK";
    in.lot = 100;
    in.limit = 0.3;
    in.reference = to_px(price);
    in.lp_size = lp_size;
    in.volatility = 0.015;
    return in;
}

Instrument future(const char* symbol, const char* underlying, double price, double tick, double multiplier, double im,
                  const char* last_trading_date) {
    Instrument in;
    in.symbol = symbol;
    in.underlying = underlying;
    in.market = Market::Derivatives;
    in.security_type = "FUTURES";
    in.last_trading_date = last_trading_date;
    in.lot = 1;
    in.limit = 0.1;
    in.reference = to_px(price);
    in.fixed_tick = to_px(tick);
    in.multiplier = multiplier;
    in.im = im;
    in.mm = im * 0.7;
    in.lp_size = 5;
    in.flow_max = 2;
    in.volatility = 0.01;
    return in;
}

}  // namespace

namespace {

std::string number_text(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return json::Writer().value(x).str();
}

// "" when setting `key` of `v` is absent, or a finite number within [lo, hi]
// (a whole one if `whole`); else what is wrong, naming the setting.
std::string check_number(const json::Value& v, const char* key, const std::string& of, double lo, double hi, bool whole,
                         const char* range) {
    if (!v.has(key) || v[key].is_null()) return "";
    const json::Value& x = v[key];
    if (x.kind == json::Value::Number && std::isfinite(x.n) && x.n >= lo && x.n <= hi &&
        (!whole || x.n == std::floor(x.n)))
        return "";
    const std::string given =
        x.kind == json::Value::Number
            ? number_text(x.n)
            : "a " + std::string(x.kind == json::Value::String ? "text" : "value of another kind");
    return std::string(key) + of + " must be " + range + ", not " + given;
}

}  // namespace

namespace {
bool clock_time(const json::Value& v, int& second) {
    int h, m, n = -1;
    const std::string t = v.string("");
    if (std::sscanf(t.c_str(), "%2d:%2d%n", &h, &m, &n) != 2 || n != static_cast<int>(t.size()) || h < 0 || h > 24 ||
        m < 0 || m > 59 || (h == 24 && m))
        return false;
    second = h * 3600 + m * 60;
    return true;
}
}  // namespace

// {"open": "HH:MM", "close": "HH:MM", "days": ["Mon", ...]} (UTC); "" if it reads well.
std::string parse_session(const json::Value& s, calendar::Schedule& o) {
    if (s.kind == json::Value::Null) return "";
    if (s.kind != json::Value::Object) return "session must be an object with open, close and days";
    o.scheduled = true;
    if (!clock_time(s["open"], o.open_second) || !clock_time(s["close"], o.close_second) ||
        o.open_second >= o.close_second)
        return "session open and close must be times HH:MM (UTC), the open before the close";
    static const char* kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    if (s.has("days")) {
        o.days = 0;
        for (const json::Value& d : s["days"].items) {
            int k = 0;
            while (k < 7 && !same_text(d.string("").c_str(), kDays[k])) ++k;
            if (k == 7)
                return "session days must be among Mon, Tue, Wed, Thu, Fri, Sat, Sun; not '" + d.string("") + "'";
            o.days |= 1u << k;
        }
    } else {
        o.days = 0x1f;  // Monday to Friday
    }
    return "";
}

void BrokerState::add_instrument(Instrument in) {
    const int inst = static_cast<int>(instruments.size());
    symbols[in.symbol] = inst;
    instruments.push_back(std::move(in));
    market_data.add_instrument();
    sim.add_instrument();
    restart_instrument(inst);
}

// What the ledger knows of an instrument: its terms and its market price.
void BrokerState::set_terms(int inst) {
    const Instrument& in = instruments[inst];
    engine::InstrumentTerms t;
    t.market = in.market;
    t.multiplier = std::max<std::int64_t>(1, std::llround(in.multiplier));
    t.im = engine::Money::of(in.im);
    t.mm = engine::Money::of(in.mm);
    t.ceiling = in.ceiling;
    ledger.set_instrument(inst, t);
    ledger.set_mark(inst, market_data.mark(inst));
}

void BrokerState::seed_default_world() {
    add_instrument(equity_stock("ARVO", 45.25, 20));
    add_instrument(equity_stock("BELNO", 12.30, 50));
    add_instrument(equity_stock("CORIX", 231.0, 5));
    add_instrument(equity_stock("DANTA", 3.52, 200));
    add_instrument(equity_stock("EMBRA", 88.75, 10));
    add_instrument(future("T50H26", "T50", 1000.0, 0.1, 200, 12000, "2026-03-30"));
    Instrument next = future("T50M26", "T50", 1002.3, 0.1, 200, 12000, "2026-06-29");
    next.link = symbols["T50H26"];
    next.link_offset = to_px(2.3);
    add_instrument(next);
    Instrument stock_future = future("ARVOH26", "ARVO", 45.25, 0.01, 1000, 6800, "2026-03-30");
    stock_future.limit = 0.3;
    stock_future.link = symbols["ARVO"];
    add_instrument(stock_future);
}

void BrokerState::seed_default_accounts() {
    for (const User& u : {User{"inv001", "inv001-secret", "TVX", "000000", Role::Investor},
                          User{"inv002", "inv002-secret", "TVX", "000000", Role::Investor},
                          User{"mkt001", "mkt001-secret", "TVX", "", Role::MarketRep},
                          User{"inv003", "inv003-secret", "OTH", "000000", Role::Investor},
                          User{"mkt002", "mkt002-secret", "OTH", "", Role::MarketRep}})
        sessions.put(u);
    auto deriv = [&](const char* no, const char* owner, double cash, double credit) {
        DerivativesAccountState& a = derivatives[no];
        a.no = no, a.owner = owner;
        a.id = ledger.add_derivatives_account(engine::Money::of(cash), engine::Money::of(credit));
        return &a;
    };
    auto eq = [&](const char* no, const char* owner, const char* type, double cash, double credit) {
        EquityAccountState& a = equity[no];
        a.no = no, a.owner = owner, a.type = type;
        a.id =
            ledger.add_equity_account(engine::Money::of(cash), engine::Money::of(credit), a.type == "CREDIT_BALANCE");
        return &a;
    };
    auto hold = [&](EquityAccountState* a, const char* symbol, std::int64_t volume, double price) {
        ledger.seed_equity(a->id, symbols.at(symbol), volume, to_px(price));
    };
    auto hold_long = [&](DerivativesAccountState* a, const char* symbol, int qty, double price) {
        ledger.seed_derivatives(a->id, symbols.at(symbol), qty, to_px(price), 0, 0);
    };
    auto hold_short = [&](DerivativesAccountState* a, const char* symbol, int qty, double price) {
        ledger.seed_derivatives(a->id, symbols.at(symbol), 0, 0, qty, to_px(price));
    };
    hold_long(deriv("D-1001", "inv001", 500000, 200000), "T50H26", 2, 990.0);
    hold_short(deriv("D-2001", "inv002", 120000, 0), "ARVOH26", 1, 46.0);
    deriv("D-3001", "inv003", 300000, 0);
    EquityAccountState* e1 = eq("E-1001", "inv001", "CASH", 200000, 1000000);
    hold(e1, "ARVO", 5000, 43.50);
    hold(e1, "BELNO", 20000, 12.00);
    hold(eq("E-1002", "inv001", "CREDIT_BALANCE", 800000, 1600000), "CORIX", 1000, 225.0);
    hold(eq("E-2001", "inv002", "CASH_BALANCE", 250000, 0), "DANTA", 10000, 3.40);
    eq("E-3001", "inv003", "CASH_BALANCE", 400000, 0);
}

BrokerState::BrokerState(const json::Value& s) {
    Options o;
    // Numbers held exactly in the settings' JSON (2^53) and in the clock's range.
    for (const std::string& e :
         {check_number(s, "seed", "", 0, 9007199254740992.0, true, "a whole number from 0 to 2^53"),
          s["start"].kind == json::Value::String  // a date, read below
              ? std::string()
              : check_number(s, "start", "", calendar::kEarliestTime, calendar::kLatestTime, true,
                             "seconds since 1970 within the years 1 to 9999 (or a date)"),
          check_number(s, "history_minutes", "", -1e15, 1e15, true, "a whole number of minutes"),
          check_number(s, "interval_ms", "", -1e15, 1e15, true, "a whole number of milliseconds"),
          check_number(s, "tick_seconds", "", -1e15, 1e15, true, "a whole number of seconds")})
        if (!e.empty() && build_error.empty()) build_error = e;
    if (!build_error.empty()) return;
    o.seed = static_cast<std::uint64_t>(s["seed"].integer(static_cast<std::int64_t>(o.seed)));
    o.history_minutes =
        static_cast<int>(std::clamp<std::int64_t>(s["history_minutes"].integer(o.history_minutes), 0, 7 * 24 * 60));
    o.liquidity = s["liquidity"].boolean(o.liquidity);
    o.activity = s["activity"].boolean(o.activity);
    o.running = s["running"].boolean(o.running);
    o.interval_ms = static_cast<int>(std::clamp<std::int64_t>(s["interval_ms"].integer(o.interval_ms), 1, 60000));
    o.tick_seconds = static_cast<int>(std::clamp<std::int64_t>(s["tick_seconds"].integer(o.tick_seconds), 1, 3600));
    std::string start_error = parse_session(s["session"], o.session);
    if (s["start"].kind == json::Value::Number)
        o.start = s["start"].integer(o.start);
    else if (s["start"].kind == json::Value::String && !calendar::parse_time(s["start"].s.c_str(), o.start))
        start_error = "start must be a date YYYY-MM-DD[THH:MM[:SS]] that exists, or seconds since 1970; not '" +
                      s["start"].s + "'";
    options = o;
    sim.seed(o.seed);
    streams.mode = s["conflate"].boolean(false) ? StreamMode::Conflate : StreamMode::Every;

    seed_default_world();
    if (s["default_world"].boolean(true)) seed_default_accounts();
    now = o.start - static_cast<std::int64_t>(o.history_minutes) * 60;
    build_error = start_error.empty() ? apply_entities(s, true) : start_error;
    if (!build_error.empty()) return;
    in_session = session_open(now);
    warm_up(o.history_minutes);
    now = o.start;
    flush();
}

void BrokerState::restart_instrument(int inst) {
    init_instrument(instruments[inst]);
    sim.restart_walk(inst);
    exchange.make_book(inst);
    set_terms(inst);
}

void BrokerState::start_replayed(int inst, std::size_t minutes) {
    Instrument& in = instruments[inst];
    in.replayed = true;
    in.simulated = false;
    sim.requote(inst);  // the provider's quotes go
    in.waiting.clear();
    market_data.restart(inst, minutes);
}

// ---------------------------------------------------------- market data
void BrokerState::print_trade(int inst, Px px, int qty) {
    market_data.print(inst, px, qty, now);
    ledger.set_mark(inst, px);
}

std::string BrokerState::current_picture(Topic t, const std::string& subject) const {
    const int inst = instrument_index(subject.c_str());
    return inst < 0 ? "" : market_data.current_picture(t, inst, now);
}

void BrokerState::flush() {
    streams.flush();
    market_data.flushed();
}

void BrokerState::warm_up(int minutes) {
    const int tick = options.tick_seconds;
    options.tick_seconds = 5;
    step(static_cast<std::int64_t>(minutes) * 12);
    options.tick_seconds = tick;
    if (!minutes)
        for (std::size_t i = 0; i < instruments.size(); ++i) sim.requote(static_cast<int>(i));
}

std::string BrokerState::apply(const json::Value& s) {
    if (s.kind != json::Value::Object) return "settings must be a JSON object";
    const bool liquidity = options.liquidity;
    options.liquidity = s["liquidity"].boolean(options.liquidity);
    options.activity = s["activity"].boolean(options.activity);
    options.tick_seconds =
        static_cast<int>(std::clamp<std::int64_t>(s["tick_seconds"].integer(options.tick_seconds), 1, 3600));
    std::string error = apply_entities(s, false);
    if (liquidity != options.liquidity)
        for (std::size_t i = 0; i < instruments.size(); ++i) sim.requote(static_cast<int>(i));
    exchange.settle();
    return error;
}

std::string BrokerState::apply_entities(const json::Value& s, bool at_reset) {
    for (const json::Value& v : s["instruments"].items) {
        const std::string symbol = v["symbol"].string("");
        if (symbol.empty() || symbols.count(symbol)) return "instrument needs a new symbol: '" + symbol + "'";
        if (!v.has("price")) return "instrument " + symbol + " needs a price above zero";
        const std::string of = " of instrument " + symbol;
        constexpr double kMost = 1e8;  // beyond any price the broker holds
        for (const std::string& e : {
                 check_number(v, "lot", of, 1, 1e6, true, "a whole number from 1 to 1000000"),
                 check_number(v, "lp_size", of, 1, 1e6, true, "a whole number from 1 to 1000000"),
                 check_number(v, "lp_levels", of, 0, 20, true, "a whole number from 0 to 20"),
                 check_number(v, "limit", of, 0.01, 0.9, false, "a fraction from 0.01 to 0.9"),
                 check_number(v, "volatility", of, 0, 10, false, "a number from 0 to 10"),
                 check_number(v, "flow_chance", of, 0, 1, false, "a chance from 0 to 1"),
                 check_number(v, "informed_chance", of, 0, 1, false, "a chance from 0 to 1"),
                 check_number(v, "informed_size", of, 0, 100, false, "a number from 0 to 100"),
                 check_number(v, "multiplier", of, 1e-6, 1e9, false, "a number above 0 up to 1000000000"),
                 check_number(v, "im", of, 0, 1e13, false, "a number from 0 up to 10000000000000"),
                 check_number(v, "mm", of, 0, 1e13, false, "a number from 0 up to 10000000000000"),
                 check_number(v, "link_offset", of, -kMost, kMost, false, "a number within plus or minus 100000000"),
             })
            if (!e.empty()) return e;
        const double price = v["price"].number(0);
        if (price <= 0) return "instrument " + symbol + " needs a price above zero";
        Px exact = 0;
        if (const engine::PriceRead r = engine::read_price(price, exact); r != engine::PriceRead::Ok)
            return "instrument " + symbol + ": " + engine::price_refusal(r, price);
        if (v.has("tick"))
            if (const engine::PriceRead r = engine::read_price(v["tick"].number(0), exact); r != engine::PriceRead::Ok)
                return "instrument " + symbol + ": " + engine::price_refusal(r, v["tick"].number(0), "tick");
        if (v["lot"].integer(1) * v["lp_size"].integer(10) > 10000000)
            return "lot times lp_size" + of + " must be at most 10000000 (the provider's quote in shares)";
        const bool deriv = v["market"].string("equity") == "derivatives";
        Instrument in = deriv ? future(symbol.c_str(), v["underlying"].string("").c_str(), price, v["tick"].number(0.1),
                                       v["multiplier"].number(1), v["im"].number(1000),
                                       v["last_trading_date"].string("2026-12-30").c_str())
                              : equity_stock(symbol.c_str(), price, 10);
        if (deriv)
            in.mm = v["mm"].number(in.im * 0.7);
        else if (v["tick"].number(0) > 0)
            in.fixed_tick = to_px(v["tick"].number(0));
        in.lot = static_cast<int>(std::max<std::int64_t>(1, v["lot"].integer(in.lot)));
        if (to_px(price) < tick_at(in, to_px(price)))
            return "price" + of + " must be at least one tick (" + number_text(from_px(tick_at(in, to_px(price)))) +
                   "), not " + number_text(price);
        in.limit = std::clamp(v["limit"].number(in.limit), 0.01, 0.9);
        in.banded = v.has("limit") || v["band"].boolean(true);
        in.volatility = std::max(0.0, v["volatility"].number(in.volatility));
        in.lp_levels = static_cast<int>(std::clamp<std::int64_t>(v["lp_levels"].integer(in.lp_levels), 0, 20));
        in.lp_size = static_cast<int>(std::max<std::int64_t>(1, v["lp_size"].integer(in.lp_size)));
        in.flow_chance = std::clamp(v["flow_chance"].number(in.flow_chance), 0.0, 1.0);
        in.informed_chance = std::clamp(v["informed_chance"].number(in.informed_chance), 0.0, 1.0);
        in.informed_size = std::clamp(v["informed_size"].number(in.informed_size), 0.0, 100.0);
        if (v.has("link")) {
            const int link = instrument_index(v["link"].string("").c_str());
            if (link < 0) return "instrument " + symbol + " links to an unknown symbol";
            in.link = link;
            const double off = v["link_offset"].number(0);
            if (off != 0) {
                const engine::PriceRead r = engine::read_price(std::fabs(off), in.link_offset);
                if (r != engine::PriceRead::Ok)
                    return "instrument " + symbol + ": " + engine::price_refusal(r, off, "link_offset");
                if (off < 0) in.link_offset = -in.link_offset;
            }
        }
        add_instrument(in);
    }
    for (const json::Value& v : s["users"].items) {
        User u{v["id"].string(""), v["secret"].string(""), v["broker"].string("TVX"), v["pin"].string("000000"),
               v["role"].string("investor") == "marketrep" ? Role::MarketRep : Role::Investor};
        if (u.id.empty()) return "a user needs an id";
        sessions.put(u);
    }
    // Figures beyond this would leave too little room to the money bound for the account's sums.
    constexpr double kMaxMoney = 1e13;
    auto bad_money = [&](const json::Value& v, const char* key) {
        const double x = v[key].number(0);
        return !std::isfinite(x) || std::fabs(x) > kMaxMoney;
    };
    auto money_error = [&](const std::string& no, const char* key) {
        return std::string(key) + " of " + no + " must be a finite number within plus or minus 10,000,000,000,000";
    };
    auto bad_volume = [&](const json::Value& v, const char* key) {
        const std::int64_t x = v[key].integer(0);
        return x < 0 || x > INT32_MAX;
    };
    for (const json::Value& v : s["derivatives_accounts"].items)
        for (const char* key : {"cash", "credit_line"})
            if (bad_money(v, key)) return money_error(v["account_no"].string(""), key);
    for (const json::Value& v : s["equity_accounts"].items)
        for (const char* key : {"cash", "credit_limit"})
            if (bad_money(v, key)) return money_error(v["account_no"].string(""), key);
    for (const json::Value& v : s["positions"].items)
        for (const char* key : {"volume", "long", "short"})
            if (bad_volume(v, key))
                return std::string(key) + " of the position of " + v["account_no"].string("") +
                       " must be 0 to 2147483647";
    for (const json::Value& v : s["derivatives_accounts"].items) {
        const std::string no = v["account_no"].string("");
        if (no.empty() || equity.count(no)) return "derivatives account needs a number of its own: '" + no + "'";
        DerivativesAccountState& a = derivatives[no];
        a.no = no;
        a.owner = v["owner"].string(a.owner);
        if (!user(a.owner)) return "account " + no + " has no known owner";
        if (a.id < 0) a.id = ledger.add_derivatives_account({}, {});
        const engine::Account& l = ledger.account(a.id);
        ledger.set_cash(a.id, v.has("cash") ? engine::Money::of(v["cash"].number(0)) : l.cash,
                        v.has("credit_line") ? engine::Money::of(v["credit_line"].number(0)) : l.credit);
    }
    for (const json::Value& v : s["equity_accounts"].items) {
        const std::string no = v["account_no"].string("");
        if (no.empty() || derivatives.count(no)) return "equity account needs a number of its own: '" + no + "'";
        EquityAccountState& a = equity[no];
        a.no = no;
        a.owner = v["owner"].string(a.owner);
        if (!user(a.owner)) return "account " + no + " has no known owner";
        a.type = v["type"].string(a.type);
        a.client_type = v["client_type"].string(a.client_type);
        a.customer_type = v["customer_type"].string(a.customer_type);
        if (a.id < 0) a.id = ledger.add_equity_account({}, {}, a.type == "CREDIT_BALANCE");
        const engine::Account& l = ledger.account(a.id);
        ledger.set_cash(a.id, v.has("cash") ? engine::Money::of(v["cash"].number(0)) : l.cash,
                        v.has("credit_limit") ? engine::Money::of(v["credit_limit"].number(0)) : l.credit);
        ledger.set_permissions(a.id, v["can_buy"].boolean(l.can_buy), v["can_sell"].boolean(l.can_sell));
    }
    for (const json::Value& v : s["positions"].items) {
        const std::string no = v["account_no"].string("");
        const int inst = instrument_index(v["symbol"].string("").c_str());
        if (inst < 0) return "position in an unknown symbol: '" + v["symbol"].string("") + "'";
        const Px ref = instruments[inst].reference;
        for (const char* key : {"long_price", "short_price", "price"}) {
            Px px = 0;
            if (!v.has(key)) continue;
            if (const engine::PriceRead r = engine::read_price(v[key].number(0), px); r != engine::PriceRead::Ok)
                return "position of " + no + ": " + engine::price_refusal(r, v[key].number(0), key);
        }
        if (derivatives.count(no) && instruments[inst].market == Market::Derivatives) {
            ledger.seed_derivatives(derivatives[no].id, inst, v["long"].integer(0),
                                    to_px(v["long_price"].number(from_px(ref))), v["short"].integer(0),
                                    to_px(v["short_price"].number(from_px(ref))));
        } else if (equity.count(no) && instruments[inst].market == Market::Equity) {
            ledger.seed_equity(equity[no].id, inst, v["volume"].integer(0), to_px(v["price"].number(from_px(ref))));
        } else {
            return "position of " + no + " in " + instruments[inst].symbol + ": no such account of that market";
        }
    }
    // {"simulate": {symbol: false}}: the market simulation leaves that instrument alone.
    if (s["simulate"].kind == json::Value::Object) {
        for (const auto& [symbol, on] : s["simulate"].fields) {
            const int inst = instrument_index(symbol.c_str());
            if (inst < 0) return "simulation of an unknown symbol: '" + symbol + "'";
            instruments[inst].simulated = on.boolean(true);
            sim.requote(inst);
        }
    }
    if (s["prices"].kind == json::Value::Object) {
        for (const auto& [symbol, price] : s["prices"].fields) {
            const int inst = instrument_index(symbol.c_str());
            if (inst < 0) return "price of an unknown symbol: '" + symbol + "'";
            const double p = price.number(0);
            if (!std::isfinite(p) || p <= 0) return "price of " + symbol + " must be a finite number above zero";
            Px px = 0;
            if (const engine::PriceRead r = engine::read_price(p, px); r != engine::PriceRead::Ok)
                return engine::price_refusal(r, p) + " (" + symbol + ")";
            const Instrument& in = instruments[inst];
            if (!at_reset && (px > in.ceiling || px < in.floor))
                return "price " + json::Writer().value(p).str() + " of " + symbol + " is outside today's limits " +
                       json::Writer().value(from_px(in.floor)).str() + " to " +
                       json::Writer().value(from_px(in.ceiling)).str();
            if (at_reset) {
                instruments[inst].reference = px;
                restart_instrument(inst);
                for (std::size_t j = 0; j < instruments.size(); ++j)
                    if (instruments[j].link == inst) {
                        instruments[j].reference = px + instruments[j].link_offset;
                        restart_instrument(static_cast<int>(j));
                    }
            } else {
                sim.set_fair(inst, px);
                exchange.settle();
            }
        }
    }
    return "";
}

// ------------------------------------------------------------- look-ups
const User* BrokerState::user(const std::string& id) const { return sessions.user(id); }
const User* BrokerState::session(const char* channel) const { return sessions.of_channel(channel); }
const User* BrokerState::session(Cfg cfg) const { return cfg ? session(cfg->channel_id) : nullptr; }
bool BrokerState::may_see(const User& u, const std::string& owner) const { return sessions.may_see(u, owner); }

int BrokerState::instrument_index(const char* symbol) const {
    if (!symbol) return -1;
    auto it = symbols.find(symbol);
    return it == symbols.end() ? -1 : it->second;
}

const Instrument* BrokerState::instrument(const char* symbol, Market m) const {
    const int i = instrument_index(symbol);
    return i < 0 || instruments[i].market != m ? nullptr : &instruments[i];
}

// ---------------------------------------------------------------- state
std::string BrokerState::state_json(bool clock_running) {
    json::Writer w;
    w.begin_object();
    w.field("time", now).field("date", date_text(now)).field("clock", time_text(now));
    w.field("seed", options.seed).field("running", clock_running).field("session_open", in_session);
    w.field("liquidity", options.liquidity).field("activity", options.activity);
    w.field("tick_seconds", options.tick_seconds).field("tape_sequence", market_data.tape_seq());
    w.key("instruments").begin_object();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const Instrument& in = instruments[i];
        const DayFigures& day = market_data.day(static_cast<int>(i));
        w.key(in.symbol).begin_object();
        w.field("market", in.market == Market::Equity ? "equity" : "derivatives");
        w.field("fair", from_px(sim.fair(static_cast<int>(i)))).field("reference", from_px(in.reference));
        w.field("ceiling", from_px(in.ceiling)).field("floor", from_px(in.floor));
        w.key("last");
        day.last ? w.value(from_px(day.last)) : w.null();
        w.field("volume", day.volume).field("value", day.value).field("lot", in.lot).field("multiplier", in.multiplier);
        w.field("candles", static_cast<std::int64_t>(market_data.candles(static_cast<int>(i)).size()));
        // Customers' volume per level, from the resting orders themselves.
        auto levels = [&](const char* name, engine::Side side) {
            std::map<Px, std::int64_t> customers;
            in.book->for_each_order(side, [&](const engine::RestingView& r) {
                if (r.id >= 0) customers[r.price] += r.remaining;
            });
            w.key(name).begin_array();
            in.book->for_each_level(side, [&](const engine::LevelView& l) {
                w.begin_object().field("price", from_px(l.price)).field("volume", l.shown).field("total", l.total);
                w.field("customers", customers[l.price]).end_object();
            });
            w.end_array();
        };
        levels("bids", engine::Side::Buy);
        levels("asks", engine::Side::Sell);
        w.end_object();
    }
    w.end_object();
    w.key("users").begin_array();
    for (const User& u : sessions.users())
        w.begin_object()
            .field("id", u.id)
            .field("role", u.role == Role::Investor ? "investor" : "marketrep")
            .field("broker", u.broker_id)
            .end_object();
    w.end_array();
    w.key("derivatives_accounts").begin_object();
    for (const auto& [no, a] : derivatives) {
        const engine::DerivativesFigures f = figures(a);
        const engine::Account& l = ledger.account(a.id);
        w.key(no)
            .begin_object()
            .field("owner", a.owner)
            .field("cash", l.cash.rounded())
            .field("credit_line", l.credit.rounded());
        w.field("equity", f.equity.rounded()).field("excess_equity", f.excess.rounded());
        w.field("total_mr", f.total_mr.rounded()).field("total_mm", f.total_mm.rounded());
        w.key("positions").begin_object();
        for (const auto& [inst, p] : l.positions) {
            if (!p.listed) continue;
            w.key(instruments[inst].symbol).begin_object().field("long", p.long_qty).field("short", p.short_qty);
            w.field("long_avg", p.long_avg()).field("short_avg", p.short_avg()).field("realized", p.realized.rounded());
            w.end_object();
        }
        w.end_object().end_object();
    }
    w.end_object();
    w.key("equity_accounts").begin_object();
    for (const auto& [no, a] : equity) {
        const engine::EquityFigures f = figures(a);
        const engine::Account& l = ledger.account(a.id);
        w.key(no).begin_object().field("owner", a.owner).field("type", a.type).field("cash", l.cash.rounded());
        w.field("credit_limit", l.credit.rounded()).field("reserved", f.reserved.rounded());
        w.field("buying_power", f.buying_power.rounded());
        w.key("positions").begin_object();
        for (const auto& [inst, p] : l.positions) {
            if (!p.listed) continue;
            w.key(instruments[inst].symbol).begin_object().field("volume", p.volume).field("avg", p.avg());
            w.field("realized", p.realized.rounded()).end_object();
        }
        w.end_object().end_object();
    }
    w.end_object();
    w.key("orders").begin_array();
    for (const Order& o : orders) {
        w.begin_object();
        w.field("market", o.market == Market::Equity ? "equity" : "derivatives");
        order_json(w, o);
        w.end_object();
    }
    w.end_array();
    w.key("trades").begin_array();
    for (const Fill& f : orders.fills()) {
        w.begin_object().field("market", f.market == Market::Equity ? "equity" : "derivatives");
        w.field("account_no", f.account)
            .field("order_no", orders[f.order].number())
            .field("symbol", instruments[f.inst].symbol);
        w.field("side", f.market == Market::Equity ? (f.side == Side::Buy ? "BUY" : "SELL")
                                                   : (f.side == Side::Buy ? "LONG" : "SHORT"));
        w.field("open_close", f.close ? "CLOSE" : "OPEN").field("price", from_px(f.px)).field("qty", f.qty);
        w.field("deal_no", f.deal_no)
            .field("trade_no", f.trade_no)
            .field("time", f.t)
            .field("trade_type", f.trade_type);
        w.field("fees", (f.brokerage + f.trading + f.clearing).rounded()).end_object();
    }
    w.end_array();
    w.key("tape").begin_array();
    for (const Print& t : market_data.tape())
        w.begin_object()
            .field("sequence", t.seq)
            .field("symbol", instruments[t.inst].symbol)
            .field("price", from_px(t.px))
            .field("qty", t.qty)
            .field("time", t.t)
            .end_object();
    w.end_array();
    w.field("subscriptions", static_cast<std::int64_t>(streams.count()));
    w.field("events_queued", static_cast<std::uint64_t>(streams.queued()));
    w.field("events_delivered", streams.delivered());
    w.field("conflate", streams.mode == StreamMode::Conflate);
    w.end_object();
    return w.take();
}

}  // namespace tvx::sandbox
