// Login, account information, portfolios and trades, from the broker's state.
#include <cstring>

#include "broker_ops.h"
#include "text.h"

namespace tvx::sandbox {

struct Arena::Frame {
    std::uintptr_t position;
    std::deque<std::string> texts;
    std::deque<std::unique_ptr<unsigned char[]>> blocks;
};

namespace {
struct ThreadResults {
    std::uintptr_t entry = 0;
    std::vector<std::unique_ptr<Arena::Frame>> frames;  // outermost first
};
ThreadResults& thread_results() {
    thread_local ThreadResults r;
    return r;
}
}  // namespace

void enter_operation(std::uintptr_t position) { thread_results().entry = position; }
std::size_t kept_results() { return thread_results().frames.size(); }

Arena::Arena() {
    ThreadResults& r = thread_results();
    // Frames are kept outermost (highest position) first; those at or below
    // this call's position belong to calls whose conversion is over.
    while (!r.frames.empty() && r.frames.back()->position <= r.entry) r.frames.pop_back();
    r.frames.push_back(std::make_unique<Frame>());
    frame_ = r.frames.back().get();
    frame_->position = r.entry;
}

const char* Arena::keep(std::string s) { return frame_->texts.emplace_back(valid_utf8(std::move(s))).c_str(); }

const void* Arena::keep_bytes(const void* bytes, std::size_t size) {
    // new[] storage is aligned for any fundamental type, so records can live in it.
    unsigned char* block = frame_->blocks.emplace_back(new unsigned char[size]).get();
    std::memcpy(block, bytes, size);
    return block;
}

std::shared_ptr<World> world_of(const char* channel) {
    if (std::shared_ptr<World> w = worlds::of_channel(channel)) return w;
    // Made once, never logged into: every operation through it is refused.
    static World* nowhere = new World(UINT64_MAX, json::parse("{\"default_world\": false, \"history_minutes\": 0}"));
    static const std::shared_ptr<World> keep(nowhere, [](World*) {});
    return keep;
}

// ------------------------------------------------------------------- login
// The third login text may name a world ("world:<id>"); otherwise the
// default world it is.
LoginResult Broker<Op::login>::call(text, text a1, text a2, text a3, text, text, text, bool, std::int32_t) {
    LoginResult r{};
    std::shared_ptr<World> w = worlds::of_login(a3);
    if (!w) {
        r.message = "login refused: no such world (it was closed, or never made)";
        return r;
    }
    Call c(std::move(w));
    const std::string channel = c.b.sessions.login(a1, a2);
    if (channel.empty()) {
        r.message = "login refused: unknown application id or wrong secret";
        return r;
    }
    r.success = 1;
    r.channel_id = c.arena.keep(channel);
    r.message = "";
    return r;
}

// ----------------------------------------------------------------- accounts
namespace {

// The record that `make` makes of an account of market M.
template <Market M, class Record>
SingleResult<Record> account_record(Cfg cfg, text account_no, Role role, Record (*make)(Call&, const AccountOf<M>&)) {
    Call c(cfg);
    SingleResult<Record> r{};
    const AccountOf<M>* a = c.admit_account<M>(cfg, role, account_no, r);
    if (!a) return r;
    r.success = 1;
    r.status_code = 200;
    r.record = make(c, *a);
    return r;
}

// The records of an account of market M that `add` lists.
template <Market M, class Item>
RecordList<Item> account_list(Cfg cfg, text account_no, Role role,
                              void (*add)(Call&, const AccountOf<M>&, std::vector<Item>&)) {
    Call c(cfg);
    RecordList<Item> r{};
    const AccountOf<M>* a = c.admit_account<M>(cfg, role, account_no, r);
    if (!a) return r;
    std::vector<Item> items;
    add(c, *a, items);
    return list_result<RecordList<Item>>(c, items);
}

using engine::Money;

// m x num / den, rounded half away from zero to the unit.
Money scaled(Money m, std::int64_t num, std::int64_t den) {
    return Money::of_units(engine::div_round(m.units * num, den));
}

DerivativesAccount derivatives_account(Call& c, const DerivativesAccountState& a) {
    const engine::DerivativesFigures f = c.b.figures(a);
    const engine::Account& l = c.b.ledger.account(a.id);
    const char flag[2] = {f.flag, 0};
    return DerivativesAccount{l.credit.rounded(), f.excess.rounded(),           l.cash.rounded(),
                              f.equity.rounded(), f.total_mr.rounded(),         f.total_mm.rounded(),
                              c.arena.keep(flag), f.call_force_margin.rounded()};
}

// Every money figure is worked out exactly and rounded to the cent once, as handed out.
EquityAccount equity_account(Call& c, const EquityAccountState& a) {
    const engine::EquityFigures f = c.b.figures(a);
    const engine::Account& l = c.b.ledger.account(a.id);
    const Money zero{};
    EquityAccount e{};
    e.account_type = c.arena.keep(a.type);
    e.client_type = c.arena.keep(a.client_type);
    e.customer_type = c.arena.keep(a.customer_type);
    e.mtm_realtime = c.arena.keep("Y");
    e.cash_balance = e.actual_cash_balance = l.cash.rounded();
    e.available_cash_balance = (l.cash - f.reserved).rounded();
    e.credit_limit = l.credit.rounded();
    e.line_available = e.purchasing_power = f.buying_power.rounded();
    e.net_settlement_line = (l.cash + l.credit).rounded();
    e.initial_cash_balance = l.start_cash.rounded();
    e.initial_credit_limit = l.start_credit.rounded();
    e.initial_line_available = (l.start_cash + l.start_credit).rounded();
    e.long_market_value = f.long_market_value.rounded();
    e.asset = (std::max(zero, l.cash) + f.long_market_value).rounded();
    e.liabilities = e.actual_margin_loan = f.liabilities.rounded();
    e.available_margin_loan = std::max(zero, l.credit - f.liabilities).rounded();
    e.equity_balance = e.collateral = f.equity_balance.rounded();
    e.margin_im = e.mr = f.margin_im.rounded();
    const Money cm = scaled(f.margin_im, 4, 5), fm = scaled(f.margin_im, 3, 5);
    e.margin_cm = cm.rounded();
    e.margin_fm = fm.rounded();
    e.buy_mr = l.credit_balance ? scaled(f.reserved, 1, 2).rounded() : 0;
    const Money excess = f.equity_balance - f.margin_im;
    e.excess_equity = excess.rounded();
    e.percent_mm = f.long_market_value.units > 0 ? std::round(10000.0 * static_cast<double>(f.equity_balance.units) /
                                                              static_cast<double>(f.long_market_value.units)) /
                                                       100
                                                 : 0;
    e.call_margin = e.call_amount = excess < zero ? (-excess).rounded() : 0;
    e.force_margin = e.force_amount = f.equity_balance < fm ? (fm - f.equity_balance).rounded() : 0;
    e.can_buy = l.can_buy;
    e.can_sell = l.can_sell;
    e.credit_balance = l.credit_balance;
    // The line at each margin rate: what excess equity can carry, at most the buying power.
    const Money carry = std::max(zero, excess);
    e.line_avail_50 = std::min(f.buying_power, scaled(carry, 10, 5)).rounded();
    e.line_avail_60 = std::min(f.buying_power, scaled(carry, 10, 6)).rounded();
    e.line_avail_70 = std::min(f.buying_power, scaled(carry, 10, 7)).rounded();
    e.line_avail_80 = std::min(f.buying_power, scaled(carry, 10, 8)).rounded();
    return e;
}

}  // namespace

DerivativesAccountResult Broker<Op::get_investor_derivatives_account_info>::call(Cfg cfg, text account_no) {
    return account_record<Market::Derivatives>(cfg, account_no, Role::Investor, derivatives_account);
}
DerivativesAccountResult Broker<Op::get_marketrep_derivatives_account_info>::call(Cfg cfg, text account_no) {
    return account_record<Market::Derivatives>(cfg, account_no, Role::MarketRep, derivatives_account);
}
EquityAccountResult Broker<Op::get_investor_equity_account_info>::call(Cfg cfg, text account_no) {
    return account_record<Market::Equity>(cfg, account_no, Role::Investor, equity_account);
}
EquityAccountResult Broker<Op::get_marketrep_equity_account_info>::call(Cfg cfg, text account_no) {
    return account_record<Market::Equity>(cfg, account_no, Role::MarketRep, equity_account);
}

// --------------------------------------------------------------- portfolios
namespace {

const std::string& broker_of(const BrokerState& b, const std::string& owner) {
    static const std::string none;
    const User* u = b.user(owner);
    return u ? u->broker_id : none;
}

void derivatives_portfolio(Call& c, const DerivativesAccountState& a, std::vector<DerivativesPosition>& items) {
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    const char* account = ar.keep(a.no);
    const char* broker_id = ar.keep(broker_of(b, a.owner));
    const char* today = ar.keep(BrokerState::date_text(b.now));
    for (const auto& [inst, p] : b.ledger.account(a.id).positions) {
        if (!p.listed) continue;
        const Instrument& in = b.instruments[inst];
        const double m = in.multiplier;
        auto i32 = [](std::int64_t v) { return static_cast<std::int32_t>(v); };  // the ledger keeps them within range
        DerivativesPosition d{};
        d.has_long_position = p.long_qty > 0;
        d.has_short_position = p.short_qty > 0;
        d.account_no = account;
        d.actual_long_position = i32(p.long_qty);
        d.actual_short_position = i32(p.short_qty);
        d.as_of_date_xrt = today;
        d.available_long_position = i32(p.available_long());
        d.available_short_position = i32(p.available_short());
        d.avg_xrt_long = d.avg_xrt_short = d.current_xrt = d.start_xrt_long = d.start_xrt_short = 1.0;
        d.long_avg_price = p.long_avg();
        d.long_avg_cost = d.avg_xrt_long_cost = p.long_avg() * m;
        d.short_avg_price = p.short_avg();
        d.short_avg_cost = d.avg_xrt_short_cost = p.short_avg() * m;
        d.broker_id = broker_id;
        d.close_long_position = i32(p.close_long);
        d.close_short_position = i32(p.close_short);
        d.open_long_position = i32(p.open_long);
        d.open_short_position = i32(p.open_short);
        d.currency = ar.keep(in.currency);
        d.last_trading_date = ar.keep(in.last_trading_date);
        d.market_price = from_px(b.market_data.mark(inst));
        d.multiplier = m;
        d.realized_pl = d.realized_pl_by_cost = d.realized_pl_currency = d.realized_pl_by_cost_currency =
            p.realized.rounded();
        d.security_type = ar.keep(in.security_type);
        d.start_long_position = i32(p.start_long);
        d.start_long_price = from_px(p.start_long_price);
        d.start_long_cost = d.start_xrt_long_cost = from_px(p.start_long_price) * m;
        d.start_short_position = i32(p.start_short);
        d.start_short_price = from_px(p.start_short_price);
        d.start_short_cost = d.start_xrt_short_cost = from_px(p.start_short_price) * m;
        d.symbol = ar.keep(in.symbol);
        d.underlying = ar.keep_or_null(in.underlying);
        items.push_back(d);
    }
}

void equity_portfolio(Call& c, const EquityAccountState& a, std::vector<EquityPosition>& items) {
    BrokerState& b = c.b;
    for (const auto& [inst, p] : b.ledger.account(a.id).positions) {
        if (!p.listed) continue;
        const Instrument& in = b.instruments[inst];
        EquityPosition e{};
        const Money amount = Money::of_units(p.cost);
        const Money value = Money::value(b.market_data.mark(inst), p.volume);
        e.actual_volume = static_cast<double>(p.volume);
        e.current_volume = static_cast<double>(p.available_volume());
        e.start_volume = static_cast<double>(p.start_volume);
        e.average_price = p.avg();
        e.amount = amount.rounded();
        e.market_price = from_px(b.market_data.mark(inst));
        e.market_value = value.rounded();
        e.profit = (value - amount).rounded();
        e.percent_profit = amount.units > 0 ? std::round(10000.0 * static_cast<double>((value - amount).units) /
                                                         static_cast<double>(amount.units)) /
                                                  100
                                            : 0;
        e.realize_profit = p.realized.rounded();
        e.start_price = from_px(p.start_price);
        e.commission_rate = 0.15;
        e.vat_rate = 0;
        e.margin_rate = a.type == "CREDIT_BALANCE" ? 50 : 0;
        e.liabilities = 0;
        e.flag = nullptr;
        e.port_flag = nullptr;
        e.nvdr_flag = c.arena.keep("N");
        e.show_n_a = false;
        e.symbol = c.arena.keep(in.symbol);
        items.push_back(e);
    }
}

// ------------------------------------------------------------------- trades
// The account's fills in market M as `make` records them, each with the
// account and its broker.
template <class Item, class Account, class Make>
void add_trades(Call& c, Market m, const Account& a, std::vector<Item>& items, Make make) {
    const char* account = c.arena.keep(a.no);
    const char* broker_id = c.arena.keep(broker_of(c.b, a.owner));
    const std::vector<std::size_t>* mine = c.b.orders.fills_of(a.no);
    if (!mine) return;
    for (std::size_t k : *mine) {
        const Fill& f = c.b.orders.fills()[k];
        if (f.market != m) continue;
        Item t = make(f);
        t.account_no = account;
        t.broker_id = broker_id;
        items.push_back(t);
    }
}

void derivatives_trades(Call& c, const DerivativesAccountState& a, std::vector<DerivativesTrade>& items) {
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    add_trades(c, Market::Derivatives, a, items, [&](const Fill& f) {
        const Instrument& in = b.instruments[f.inst];
        DerivativesTrade t{};
        t.currency = ar.keep(in.currency);
        t.deal_no = ar.keep(f.deal_no);
        t.entry_id = ar.keep(f.entered_by);
        t.ledger_date = t.trade_date = ar.keep(BrokerState::date_text(f.t));
        t.ledger_time = t.trade_time = ar.keep(BrokerState::time_text(f.t));
        t.ledger_seq = f.ledger_seq;
        t.multiplier = in.multiplier;
        t.open_close = ar.keep(f.close ? "CLOSE" : "OPEN");
        t.order_no = b.orders[f.order].dno;
        t.px = from_px(f.px);
        t.qty = f.qty;
        t.side = ar.keep(f.side == Side::Buy ? "LONG" : "SHORT");
        t.status = ar.keep("MATCHED");
        t.symbol = ar.keep(in.symbol);
        t.trade_no = ar.keep(f.trade_no);
        t.trade_type = ar.keep(f.trade_type);
        return t;
    });
}

void equity_trades(Call& c, const EquityAccountState& a, std::vector<EquityTrade>& items) {
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    add_trades(c, Market::Equity, a, items, [&](const Fill& f) {
        EquityTrade t{};
        t.brokerage_fee = f.brokerage.rounded();
        t.clearing_fee = f.clearing.rounded();
        t.trading_fee = f.trading.rounded();
        t.deal_no = ar.keep(f.deal_no);
        t.entry_id = ar.keep(f.entered_by);
        t.order_no = ar.keep(b.orders[f.order].eno);
        t.px = from_px(f.px);
        t.qty = f.qty;
        t.side = ar.keep(f.side == Side::Buy ? "BUY" : "SELL");
        t.symbol = ar.keep(b.instruments[f.inst].symbol);
        t.trade_date = ar.keep(BrokerState::date_text(f.t));
        t.trade_time = ar.keep(BrokerState::time_text(f.t));
        t.trade_no = ar.keep(f.trade_no);
        t.trustee_id = ar.keep(f.trustee);
        return t;
    });
}

}  // namespace

#define TVX_ACCOUNT_LIST(op, M, Item, fn, role)                       \
    RecordList<Item> Broker<Op::op>::call(Cfg cfg, text account_no) { \
        return account_list<M>(cfg, account_no, role, fn);            \
    }
TVX_ACCOUNT_LIST(get_investor_derivatives_portfolios, Market::Derivatives, DerivativesPosition, derivatives_portfolio,
                 Role::Investor)
TVX_ACCOUNT_LIST(get_marketrep_derivatives_portfolios, Market::Derivatives, DerivativesPosition, derivatives_portfolio,
                 Role::MarketRep)
TVX_ACCOUNT_LIST(get_investor_equity_portfolios, Market::Equity, EquityPosition, equity_portfolio, Role::Investor)
TVX_ACCOUNT_LIST(get_marketrep_equity_portfolios, Market::Equity, EquityPosition, equity_portfolio, Role::MarketRep)
TVX_ACCOUNT_LIST(get_investor_derivatives_trades, Market::Derivatives, DerivativesTrade, derivatives_trades,
                 Role::Investor)
TVX_ACCOUNT_LIST(get_marketrep_derivatives_trades, Market::Derivatives, DerivativesTrade, derivatives_trades,
                 Role::MarketRep)
TVX_ACCOUNT_LIST(get_investor_equity_trades, Market::Equity, EquityTrade, equity_trades, Role::Investor)
TVX_ACCOUNT_LIST(get_marketrep_equity_trades, Market::Equity, EquityTrade, equity_trades, Role::MarketRep)
#undef TVX_ACCOUNT_LIST

}  // namespace tvx::sandbox
