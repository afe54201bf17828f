// Login, account information, portfolios and trades, from the broker's state.
#include <array>
#include <cstring>

#include "broker_ops.h"

namespace tvx::sandbox {

Arena::Arena(int op) {
    thread_local std::array<std::deque<std::string>, 49> arenas;
    thread_local std::array<std::deque<std::unique_ptr<unsigned char[]>>, 49> block_arenas;
    texts_ = &arenas[op];
    texts_->clear();
    blocks_ = &block_arenas[op];
    blocks_->clear();
}

const char* Arena::keep(std::string s) { return texts_->emplace_back(std::move(s)).c_str(); }

const void* Arena::keep_bytes(const void* bytes, std::size_t size) {
    // new[] storage is aligned for any fundamental type, so records can live in it.
    unsigned char* block = blocks_->emplace_back(new unsigned char[size]).get();
    std::memcpy(block, bytes, size);
    return block;
}

BrokerState& broker() {
    static BrokerState* b = new BrokerState;  // event and clock threads may outlive static destruction
    return *b;
}

// ------------------------------------------------------------------- login
LoginResult Broker<13, LoginResult>::call(text, text a1, text a2, text, text, text, text, bool, std::int32_t) {
    Call c(13);
    LoginResult r{};
    const User* u = a1 ? c.b.user(a1) : nullptr;
    if (!u || !a2 || u->secret != a2) {
        r.message = "login refused: unknown application id or wrong secret";
        return r;
    }
    const std::string channel = "sbx-" + u->id + "-" + std::to_string(c.b.next_channel++);
    c.b.sessions[channel] = u->id;
    // The module empties its payload cache after a successful login.
    c.b.delivered.clear();
    r.success = 1;
    r.channel_id = c.arena.keep(channel);
    r.message = "";
    return r;
}

// ----------------------------------------------------------------- accounts
namespace {

DerivativesAccountResult derivatives_account(int op, Cfg cfg, text account_no, Role role) {
    Call c(op);
    DerivativesAccountResult r{};
    if (!c.admit(cfg, role, r)) return r;
    const DerivativesAccountState* a = c.derivatives_account(account_no);
    if (!a) return c.no_account<DerivativesAccountResult>("derivatives", account_no);
    const DerivativesFigures f = c.b.figures(*a);
    r.success = 1;
    r.status_code = 200;
    r.record = DerivativesAccount{a->credit_line, f.excess, a->cash, f.equity, f.total_mr, f.total_mm,
                                  c.arena.keep(f.flag), f.call_force_margin};
    return r;
}

EquityAccountResult equity_account(int op, Cfg cfg, text account_no, Role role) {
    Call c(op);
    EquityAccountResult r{};
    if (!c.admit(cfg, role, r)) return r;
    const EquityAccountState* a = c.equity_account(account_no);
    if (!a) return c.no_account<EquityAccountResult>("equity", account_no);
    const EquityFigures f = c.b.figures(*a);
    r.success = 1;
    r.status_code = 200;
    EquityAccount& e = r.record;
    e.account_type = c.arena.keep(a->type);
    e.client_type = c.arena.keep(a->client_type);
    e.customer_type = c.arena.keep(a->customer_type);
    e.mtm_realtime = c.arena.keep("Y");
    e.cash_balance = e.actual_cash_balance = a->cash;
    e.available_cash_balance = a->cash - f.reserved;
    e.credit_limit = a->credit_limit;
    e.line_available = e.purchasing_power = f.buying_power;
    e.net_settlement_line = a->cash + a->credit_limit;
    e.initial_cash_balance = a->initial_cash;
    e.initial_credit_limit = a->initial_credit;
    e.initial_line_available = a->initial_cash + a->initial_credit;
    e.long_market_value = f.long_market_value;
    e.asset = std::max(0.0, a->cash) + f.long_market_value;
    e.liabilities = e.actual_margin_loan = f.liabilities;
    e.available_margin_loan = std::max(0.0, a->credit_limit - f.liabilities);
    e.equity_balance = e.collateral = f.equity_balance;
    e.margin_im = e.mr = f.margin_im;
    e.margin_cm = f.margin_im * 0.8;
    e.margin_fm = f.margin_im * 0.6;
    e.buy_mr = a->type == "CREDIT_BALANCE" ? f.reserved * 0.5 : 0;
    e.excess_equity = f.equity_balance - f.margin_im;
    e.percent_mm = f.long_market_value > 0 ? 100 * f.equity_balance / f.long_market_value : 0;
    e.call_margin = e.call_amount = e.excess_equity < 0 ? -e.excess_equity : 0;
    e.force_margin = e.force_amount = f.equity_balance < e.margin_fm ? e.margin_fm - f.equity_balance : 0;
    e.can_buy = a->can_buy;
    e.can_sell = a->can_sell;
    e.credit_balance = a->type == "CREDIT_BALANCE";
    const double excess = std::max(0.0, e.excess_equity);
    e.line_avail_50 = std::min(f.buying_power, excess / 0.5);
    e.line_avail_60 = std::min(f.buying_power, excess / 0.6);
    e.line_avail_70 = std::min(f.buying_power, excess / 0.7);
    e.line_avail_80 = std::min(f.buying_power, excess / 0.8);
    return r;
}

}  // namespace

DerivativesAccountResult Broker<14, DerivativesAccountResult>::call(Cfg cfg, text account_no) {
    return derivatives_account(14, cfg, account_no, Role::Investor);
}
DerivativesAccountResult Broker<24, DerivativesAccountResult>::call(Cfg cfg, text account_no) {
    return derivatives_account(24, cfg, account_no, Role::MarketRep);
}
EquityAccountResult Broker<19, EquityAccountResult>::call(Cfg cfg, text account_no) {
    return equity_account(19, cfg, account_no, Role::Investor);
}
EquityAccountResult Broker<30, EquityAccountResult>::call(Cfg cfg, text account_no) {
    return equity_account(30, cfg, account_no, Role::MarketRep);
}

// --------------------------------------------------------------- portfolios
namespace {

const std::string& broker_of(const BrokerState& b, const std::string& owner) {
    static const std::string none;
    const User* u = b.user(owner);
    return u ? u->broker_id : none;
}

template <class R>
R list_result(Call& c, const std::vector<typename std::remove_cv_t<std::remove_pointer_t<decltype(R::items)>>>& items) {
    R r{};
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(items);
    r.count = static_cast<std::int64_t>(items.size());
    return r;
}

RecordList<DerivativesPosition> derivatives_portfolio(int op, Cfg cfg, text account_no, Role role) {
    using R = RecordList<DerivativesPosition>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r)) return r;
    const DerivativesAccountState* a = c.derivatives_account(account_no);
    if (!a) return c.no_account<R>("derivatives", account_no);
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    std::vector<DerivativesPosition> items;
    const char* account = ar.keep(a->no);
    const char* broker_id = ar.keep(broker_of(b, a->owner));
    const char* today = ar.keep(BrokerState::date_text(b.now));
    for (const auto& [inst, p] : a->positions) {
        const Instrument& in = b.instruments[inst];
        const double m = in.multiplier;
        DerivativesPosition d{};
        d.has_long_position = p.long_qty > 0;
        d.has_short_position = p.short_qty > 0;
        d.account_no = account;
        d.actual_long_position = p.long_qty;
        d.actual_short_position = p.short_qty;
        d.as_of_date_xrt = today;
        d.available_long_position = p.long_qty - b.pending_close(a->no, inst, Side::Sell);
        d.available_short_position = p.short_qty - b.pending_close(a->no, inst, Side::Buy);
        d.avg_xrt_long = d.avg_xrt_short = d.current_xrt = d.start_xrt_long = d.start_xrt_short = 1.0;
        d.long_avg_price = p.long_avg;
        d.long_avg_cost = d.avg_xrt_long_cost = p.long_avg * m;
        d.short_avg_price = p.short_avg;
        d.short_avg_cost = d.avg_xrt_short_cost = p.short_avg * m;
        d.broker_id = broker_id;
        d.close_long_position = p.close_long;
        d.close_short_position = p.close_short;
        d.open_long_position = p.open_long;
        d.open_short_position = p.open_short;
        d.currency = ar.keep(in.currency);
        d.last_trading_date = ar.keep(in.last_trading_date);
        d.market_price = from_px(in.mark());
        d.multiplier = m;
        d.realized_pl = d.realized_pl_by_cost = d.realized_pl_currency = d.realized_pl_by_cost_currency = p.realized;
        d.security_type = ar.keep(in.security_type);
        d.start_long_position = p.start_long;
        d.start_long_price = p.start_long_price;
        d.start_long_cost = d.start_xrt_long_cost = p.start_long_price * m;
        d.start_short_position = p.start_short;
        d.start_short_price = p.start_short_price;
        d.start_short_cost = d.start_xrt_short_cost = p.start_short_price * m;
        d.symbol = ar.keep(in.symbol);
        d.underlying = ar.keep_or_null(in.underlying);
        items.push_back(d);
    }
    return list_result<R>(c, items);
}

RecordList<EquityPosition> equity_portfolio(int op, Cfg cfg, text account_no, Role role) {
    using R = RecordList<EquityPosition>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r)) return r;
    const EquityAccountState* a = c.equity_account(account_no);
    if (!a) return c.no_account<R>("equity", account_no);
    BrokerState& b = c.b;
    std::vector<EquityPosition> items;
    for (const auto& [inst, p] : a->positions) {
        const Instrument& in = b.instruments[inst];
        EquityPosition e{};
        const double mark = from_px(in.mark());
        e.actual_volume = static_cast<double>(p.volume);
        e.current_volume = static_cast<double>(p.volume - b.pending_sell(a->no, inst));
        e.start_volume = static_cast<double>(p.start_volume);
        e.average_price = p.avg;
        e.amount = p.avg * static_cast<double>(p.volume);
        e.market_price = mark;
        e.market_value = mark * static_cast<double>(p.volume);
        e.profit = e.market_value - e.amount;
        e.percent_profit = e.amount > 0 ? 100 * e.profit / e.amount : 0;
        e.realize_profit = p.realized;
        e.start_price = p.start_price;
        e.commission_rate = 0.15;
        e.vat_rate = 0;
        e.margin_rate = a->type == "CREDIT_BALANCE" ? 50 : 0;
        e.liabilities = 0;
        e.flag = nullptr;
        e.port_flag = nullptr;
        e.nvdr_flag = c.arena.keep("N");
        e.show_n_a = false;
        e.symbol = c.arena.keep(in.symbol);
        items.push_back(e);
    }
    return list_result<R>(c, items);
}

// ------------------------------------------------------------------- trades
RecordList<DerivativesTrade> derivatives_trades(int op, Cfg cfg, text account_no, Role role) {
    using R = RecordList<DerivativesTrade>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r)) return r;
    const DerivativesAccountState* a = c.derivatives_account(account_no);
    if (!a) return c.no_account<R>("derivatives", account_no);
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    const char* account = ar.keep(a->no);
    const char* broker_id = ar.keep(broker_of(b, a->owner));
    std::vector<DerivativesTrade> items;
    for (const Fill& f : b.fills) {
        if (f.market != Market::Derivatives || f.account != a->no) continue;
        const Instrument& in = b.instruments[f.inst];
        DerivativesTrade t{};
        t.account_no = account;
        t.broker_id = broker_id;
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
        items.push_back(t);
    }
    return list_result<R>(c, items);
}

RecordList<EquityTrade> equity_trades(int op, Cfg cfg, text account_no, Role role) {
    using R = RecordList<EquityTrade>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r)) return r;
    const EquityAccountState* a = c.equity_account(account_no);
    if (!a) return c.no_account<R>("equity", account_no);
    BrokerState& b = c.b;
    Arena& ar = c.arena;
    const char* account = ar.keep(a->no);
    const char* broker_id = ar.keep(broker_of(b, a->owner));
    std::vector<EquityTrade> items;
    for (const Fill& f : b.fills) {
        if (f.market != Market::Equity || f.account != a->no) continue;
        EquityTrade t{};
        t.account_no = account;
        t.broker_id = broker_id;
        t.brokerage_fee = f.brokerage;
        t.clearing_fee = f.clearing;
        t.trading_fee = f.trading;
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
        items.push_back(t);
    }
    return list_result<R>(c, items);
}

}  // namespace

#define TVX_ACCOUNT_LIST(n, Item, fn, role)                                           \
    RecordList<Item> Broker<n, RecordList<Item>>::call(Cfg cfg, text account_no) { \
        return fn(n, cfg, account_no, role);                                          \
    }
TVX_ACCOUNT_LIST(17, DerivativesPosition, derivatives_portfolio, Role::Investor)
TVX_ACCOUNT_LIST(28, DerivativesPosition, derivatives_portfolio, Role::MarketRep)
TVX_ACCOUNT_LIST(22, EquityPosition, equity_portfolio, Role::Investor)
TVX_ACCOUNT_LIST(34, EquityPosition, equity_portfolio, Role::MarketRep)
TVX_ACCOUNT_LIST(18, DerivativesTrade, derivatives_trades, Role::Investor)
TVX_ACCOUNT_LIST(29, DerivativesTrade, derivatives_trades, Role::MarketRep)
TVX_ACCOUNT_LIST(23, EquityTrade, equity_trades, Role::Investor)
TVX_ACCOUNT_LIST(35, EquityTrade, equity_trades, Role::MarketRep)
#undef TVX_ACCOUNT_LIST

}  // namespace tvx::sandbox
