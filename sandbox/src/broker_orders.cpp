// Order queries, placements, cancels, changes and trade reports.
//
// What each request field means (argN = the Python function's N-th argument):
// placements 3 symbol, 4 price, 5 volume, 6 side, then for derivatives
// 7 position, [PIN], price type, validity, trigger condition, trigger symbol,
// trigger price, bypass-warning flag; for equity [PIN], price type, validity,
// trustee id, order type, NVDR flag, iceberg volume, bypass-warning flag. The
// investor functions carry the PIN where the brackets are. README has the table.
#include <algorithm>

#include "broker_ops.h"

namespace tvx::sandbox {
namespace {

DerivativesOrder derivatives_record(Arena& ar, const BrokerState& b, const Order& o) {
    const OrderTexts t = b.order_texts(o);
    DerivativesOrder d{};
    d.account_no = ar.keep(o.account);
    d.balance_qty = o.remaining();
    d.cancel_qty = o.cancelled;
    d.entry_date = ar.keep(t.entry_date);
    d.entry_id = ar.keep(o.entered_by);
    d.entry_time = ar.keep(t.entry_time);
    d.is_stop_order_not_activate = ar.keep(o.status == Status::Pending ? "Y" : "N");
    d.match_qty = o.matched;
    d.order_no = o.dno;
    d.position = ar.keep(t.position);
    d.price = from_px(o.price);
    d.price_type = ar.keep(t.price_type);
    d.qty = o.qty;
    d.reject_code = o.reject_code;
    d.reject_reason = ar.keep_or_null(t.reject_reason);
    d.show_status = ar.keep(t.show);
    d.side = ar.keep(t.side);
    d.status = ar.keep(t.status);
    d.status_meaning = ar.keep(t.meaning);
    d.symbol = ar.keep(t.symbol);
    d.tfx_order_no = ar.keep_or_null(t.exchange_no);
    d.trigger_condition = ar.keep_or_null(t.trigger_condition);
    d.trigger_price = from_px(o.trigger_price);
    d.trigger_symbol = o.trigger_condition.empty() ? nullptr : ar.keep(t.trigger_symbol);
    d.validity = ar.keep(t.validity);
    d.version = o.version;
    return d;
}

EquityOrder equity_record(Arena& ar, const BrokerState& b, const Order& o) {
    const OrderTexts t = b.order_texts(o);
    EquityOrder e{};
    e.can_cancel = o.active() && !o.trade_report;
    e.can_change_account = o.active() && o.matched == 0;
    e.account_no = ar.keep(o.account);
    e.balance = o.remaining();
    e.cancel_id = ar.keep_or_null(t.cancel_id);
    e.cancel_time = ar.keep_or_null(t.cancel_time);
    e.cancelled = o.cancelled;
    e.counter_party_member = nullptr;
    e.enter_id = ar.keep(o.entered_by);
    e.entry_time = ar.keep(t.entry_time);
    e.iceberg_vol = o.iceberg;
    e.matched = o.matched;
    e.nvdr_flag = ar.keep(o.nvdr ? "Y" : "N");
    e.order_no = ar.keep(o.eno);
    e.order_type = ar.keep(o.order_type);
    e.price = from_px(o.price);
    e.price_type = ar.keep(t.price_type);
    e.reject_code = o.reject_code;
    e.reject_reason = ar.keep_or_null(t.reject_reason);
    e.set_order_no = ar.keep_or_null(t.exchange_no);
    e.show_order_status = ar.keep(t.show);
    e.show_order_status_meaning = ar.keep(t.meaning);
    e.side = ar.keep(t.side);
    e.status = ar.keep(t.status);
    e.symbol = ar.keep(t.symbol);
    e.trade_date = ar.keep(t.entry_date);
    e.trade_report_type = nullptr;
    e.trade_time = ar.keep(t.update_time);
    e.validity = ar.keep(t.validity);
    e.version = o.version;
    e.vol = o.qty;
    e.can_change_price_vol = o.active();
    e.can_change_trustee_id = o.active();
    e.trade_report = o.trade_report;
    return e;
}

bool visible_order(const BrokerState& b, const User& u, const Order& o) {
    const std::string& owner = o.market == Market::Derivatives ? b.derivatives.at(o.account).owner : b.equity.at(o.account).owner;
    return b.may_see(u, owner);
}

// ------------------------------------------------------------------ queries
template <class Item>
RecordList<Item> order_list(Call& c, Market m, const std::string* account) {
    std::vector<Item> items;
    for (const Order& o : c.b.orders) {
        if (o.market != m || (account && o.account != *account) || !visible_order(c.b, *c.user, o)) continue;
        if constexpr (std::is_same_v<Item, DerivativesOrder>) items.push_back(derivatives_record(c.arena, c.b, o));
        else items.push_back(equity_record(c.arena, c.b, o));
    }
    RecordList<Item> r{};
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(items);
    r.count = static_cast<std::int64_t>(items.size());
    return r;
}

template <class Item>
RecordList<Item> account_orders(int op, Cfg cfg, text account_no, Role role) {
    using R = RecordList<Item>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r)) return r;
    constexpr bool deriv = std::is_same_v<Item, DerivativesOrder>;
    const bool found = deriv ? c.derivatives_account(account_no) != nullptr : c.equity_account(account_no) != nullptr;
    if (!found) return c.no_account<R>(deriv ? "derivatives" : "equity", account_no);
    const std::string account = str(account_no);
    return order_list<Item>(c, deriv ? Market::Derivatives : Market::Equity, &account);
}

template <class R>
R one_order(Call& c, int i, const std::string& number, const char* account) {
    if (i < 0 || !visible_order(c.b, *c.user, c.b.orders[i]) || (account && c.b.orders[i].account != account))
        return c.refuse<R>(404, "ORDER_NOT_FOUND: no order " + number + (account ? std::string(" in account ") + account : ""));
    R r{};
    r.success = 1;
    r.status_code = 200;
    if constexpr (std::is_same_v<R, DerivativesOrderResult>) r.record = derivatives_record(c.arena, c.b, c.b.orders[i]);
    else r.record = equity_record(c.arena, c.b, c.b.orders[i]);
    return r;
}

}  // namespace

DerivativesOrderResult Broker<15, DerivativesOrderResult>::call(Cfg cfg, text account_no, std::int32_t order_no) {
    Call c(15);
    DerivativesOrderResult r{};
    if (!c.admit(cfg, Role::Investor, r)) return r;
    if (!c.derivatives_account(account_no)) return c.no_account<DerivativesOrderResult>("derivatives", account_no);
    return one_order<DerivativesOrderResult>(c, c.b.find_derivatives_order(order_no), std::to_string(order_no), account_no);
}

DerivativesOrderResult Broker<25, DerivativesOrderResult>::call(Cfg cfg, std::int32_t order_no) {
    Call c(25);
    DerivativesOrderResult r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    return one_order<DerivativesOrderResult>(c, c.b.find_derivatives_order(order_no), std::to_string(order_no), nullptr);
}

EquityOrderResult Broker<20, EquityOrderResult>::call(Cfg cfg, text account_no, text order_no) {
    Call c(20);
    EquityOrderResult r{};
    if (!c.admit(cfg, Role::Investor, r)) return r;
    if (!c.equity_account(account_no)) return c.no_account<EquityOrderResult>("equity", account_no);
    return one_order<EquityOrderResult>(c, c.b.find_equity_order(order_no), str(order_no), account_no);
}

EquityOrderResult Broker<31, EquityOrderResult>::call(Cfg cfg, text order_no) {
    Call c(31);
    EquityOrderResult r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    return one_order<EquityOrderResult>(c, c.b.find_equity_order(order_no), str(order_no), nullptr);
}

RecordList<DerivativesOrder> Broker<16, RecordList<DerivativesOrder>>::call(Cfg cfg, text account_no) {
    return account_orders<DerivativesOrder>(16, cfg, account_no, Role::Investor);
}
RecordList<DerivativesOrder> Broker<27, RecordList<DerivativesOrder>>::call(Cfg cfg, text account_no) {
    return account_orders<DerivativesOrder>(27, cfg, account_no, Role::MarketRep);
}
RecordList<EquityOrder> Broker<21, RecordList<EquityOrder>>::call(Cfg cfg, text account_no) {
    return account_orders<EquityOrder>(21, cfg, account_no, Role::Investor);
}
RecordList<EquityOrder> Broker<33, RecordList<EquityOrder>>::call(Cfg cfg, text account_no) {
    return account_orders<EquityOrder>(33, cfg, account_no, Role::MarketRep);
}

RecordList<DerivativesOrder> Broker<26, RecordList<DerivativesOrder>>::call(Cfg cfg) {
    Call c(26);
    RecordList<DerivativesOrder> r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    return order_list<DerivativesOrder>(c, Market::Derivatives, nullptr);
}

RecordList<EquityOrder> Broker<32, RecordList<EquityOrder>>::call(Cfg cfg) {
    Call c(32);
    RecordList<EquityOrder> r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    return order_list<EquityOrder>(c, Market::Equity, nullptr);
}

// --------------------------------------------------------------- placement
namespace {

DerivativesOrderNoResult place_derivatives(int op, Cfg cfg, text account_no, Role role, text pin,
                                           BrokerState::Placement p) {
    Call c(op);
    DerivativesOrderNoResult r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    if (!c.derivatives_account(account_no)) return c.no_account<DerivativesOrderNoResult>("derivatives", account_no);
    p.market = Market::Derivatives;
    p.account = account_no;
    p.entered_by = c.user->id;
    const Verdict v = c.b.place(p);
    if (!v.ok) return c.refuse<DerivativesOrderNoResult>(v);
    r.success = 1;
    r.status_code = 200;
    r.order_no = c.b.orders[v.order].dno;
    r.message = c.arena.keep(v.text);
    return r;
}

EquityOrderNoResult place_equity(int op, Cfg cfg, text account_no, Role role, text pin, BrokerState::Placement p) {
    Call c(op);
    EquityOrderNoResult r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    if (!c.equity_account(account_no)) return c.no_account<EquityOrderNoResult>("equity", account_no);
    p.market = Market::Equity;
    p.account = account_no;
    p.entered_by = c.user->id;
    const Verdict v = c.b.place(p);
    if (!v.ok) return c.refuse<EquityOrderNoResult>(v);
    r.success = 1;
    r.status_code = 200;
    r.order_no = c.arena.keep(c.b.orders[v.order].eno);
    r.message = c.arena.keep(v.text);
    return r;
}

BrokerState::Placement placement(text symbol, double price, int volume, text side, text price_type, text validity,
                                 bool bypass) {
    BrokerState::Placement p{};
    p.symbol = symbol;
    p.price = price;
    p.volume = volume;
    p.side = side;
    p.price_type = price_type;
    p.validity = validity;
    p.bypass_warning = bypass;
    return p;
}

}  // namespace

DerivativesOrderNoResult Broker<38, DerivativesOrderNoResult>::call(Cfg cfg, text account_no,
                                                                    const InvestorDerivativesPlaceRequest* q) {
    if (!q) return refusal<DerivativesOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg9, q->arg10, q->arg14);
    p.position = q->arg7;
    p.trigger_condition = q->arg11;
    p.trigger_symbol = q->arg12;
    p.trigger_price = q->arg13;
    return place_derivatives(38, cfg, account_no, Role::Investor, q->arg8, p);
}

DerivativesOrderNoResult Broker<40, DerivativesOrderNoResult>::call(Cfg cfg, text account_no,
                                                                    const MarketrepDerivativesPlaceRequest* q) {
    if (!q) return refusal<DerivativesOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg8, q->arg9, q->arg13);
    p.position = q->arg7;
    p.trigger_condition = q->arg10;
    p.trigger_symbol = q->arg11;
    p.trigger_price = q->arg12;
    return place_derivatives(40, cfg, account_no, Role::MarketRep, nullptr, p);
}

EquityOrderNoResult Broker<39, EquityOrderNoResult>::call(Cfg cfg, text account_no, const InvestorEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg8, q->arg9, q->arg14);
    p.trustee = q->arg10;
    p.order_type = q->arg11;
    p.nvdr = q->arg12 != 0;
    p.iceberg = q->arg13;
    return place_equity(39, cfg, account_no, Role::Investor, q->arg7, p);
}

EquityOrderNoResult Broker<42, EquityOrderNoResult>::call(Cfg cfg, text account_no, const MarketrepEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg7, q->arg8, q->arg13);
    p.trustee = q->arg9;
    p.order_type = q->arg10;
    p.nvdr = q->arg11 != 0;
    p.iceberg = q->arg12;
    return place_equity(42, cfg, account_no, Role::MarketRep, nullptr, p);
}

TradeReportResult Broker<41, TradeReportResult>::call(Cfg cfg, const TradeReportRequest* q) {
    Call c(41);
    TradeReportResult r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    if (!q) return c.refuse<TradeReportResult>(400, "no request");
    std::vector<std::int32_t> numbers;
    const Verdict v = c.b.trade_report(*c.user, str(q->arg2), q->arg3, q->arg4, q->arg5, q->arg6, q->arg7, str(q->arg8),
                                       q->arg9, numbers);
    if (!v.ok) return c.refuse<TradeReportResult>(v);
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(numbers);
    r.count = static_cast<std::int64_t>(numbers.size());
    r.message = c.arena.keep(v.text);
    return r;
}

// ------------------------------------------------------------------ cancels
namespace {

// The order `number` of `account`, or a refusal naming why not.
int order_of(Call& c, int i, const char* account, Verdict& why, const std::string& number) {
    if (i < 0 || c.b.orders[i].account != str(account) || !visible_order(c.b, *c.user, c.b.orders[i])) {
        why = Verdict::fail(404, reason::kNotFound, "no order " + number + " in account " + str(account));
        return -1;
    }
    return i;
}

template <Market M>
StatusResult cancel_one(int op, Cfg cfg, text account_no, Role role, text pin, std::int32_t dno, text eno) {
    Call c(op);
    StatusResult r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    constexpr bool deriv = M == Market::Derivatives;
    const bool found = deriv ? c.derivatives_account(account_no) != nullptr : c.equity_account(account_no) != nullptr;
    if (!found) return c.no_account<StatusResult>(deriv ? "derivatives" : "equity", account_no);
    const int i = deriv ? c.b.find_derivatives_order(dno) : c.b.find_equity_order(eno);
    Verdict v;
    if (order_of(c, i, account_no, v, deriv ? std::to_string(dno) : str(eno)) < 0) return c.refuse<StatusResult>(v);
    v = c.b.cancel(i, *c.user);
    if (!v.ok) return c.refuse<StatusResult>(v);
    r.success = 1;
    r.status_code = 200;
    r.message = c.arena.keep(v.text);
    return r;
}

const char* http_status(std::int32_t code) {
    switch (code) {
        case 404: return "404 Not Found";
        case 409: return "409 Conflict";
        default: return "400 Bad Request";
    }
}

RecordList<DerivativesOrderActionError> cancel_derivatives_batch(int op, Cfg cfg, text account_no, Role role, text pin,
                                                                 const std::int32_t* numbers, std::int32_t count) {
    using R = RecordList<DerivativesOrderActionError>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    if (!c.derivatives_account(account_no)) return c.no_account<R>("derivatives", account_no);
    std::vector<DerivativesOrderActionError> errors;
    for (std::int32_t k = 0; numbers && k < count; ++k) {
        Verdict v;
        const int i = order_of(c, c.b.find_derivatives_order(numbers[k]), account_no, v, std::to_string(numbers[k]));
        if (i >= 0) v = c.b.cancel(i, *c.user);
        if (v.ok) continue;
        errors.push_back({c.arena.keep(v.code), c.arena.keep(v.text), c.arena.keep(http_status(v.status)), v.status, numbers[k]});
    }
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(errors);
    r.count = static_cast<std::int64_t>(errors.size());
    r.message = c.arena.keep(std::to_string(count - static_cast<std::int32_t>(errors.size())) + " of " +
                             std::to_string(count) + " orders cancelled");
    return r;
}

RecordList<EquityOrderActionError> cancel_equity_batch(int op, Cfg cfg, text account_no, Role role, text pin,
                                                       const text* numbers, std::int32_t count) {
    using R = RecordList<EquityOrderActionError>;
    Call c(op);
    R r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    if (!c.equity_account(account_no)) return c.no_account<R>("equity", account_no);
    std::vector<EquityOrderActionError> errors;
    for (std::int32_t k = 0; numbers && k < count; ++k) {
        Verdict v;
        const int i = order_of(c, c.b.find_equity_order(numbers[k]), account_no, v, str(numbers[k]));
        if (i >= 0) v = c.b.cancel(i, *c.user);
        if (v.ok) continue;
        EquityOrderActionError e{};
        e.code = c.arena.keep(v.code);
        e.message = c.arena.keep(v.text);
        e.http_status = c.arena.keep(http_status(v.status));
        e.http_status_code = v.status;
        e.order_no = c.arena.keep(str(numbers[k]));
        errors.push_back(e);
    }
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(errors);
    r.count = static_cast<std::int64_t>(errors.size());
    r.message = c.arena.keep(std::to_string(count - static_cast<std::int32_t>(errors.size())) + " of " +
                             std::to_string(count) + " orders cancelled");
    return r;
}

}  // namespace

StatusResult Broker<1, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no, const InvestorTextRecord* extra) {
    return cancel_one<Market::Derivatives>(1, cfg, account_no, Role::Investor, extra ? extra->arg4 : nullptr, order_no, nullptr);
}
StatusResult Broker<5, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no) {
    return cancel_one<Market::Derivatives>(5, cfg, account_no, Role::MarketRep, nullptr, order_no, nullptr);
}
StatusResult Broker<3, StatusResult>::call(Cfg cfg, text account_no, text order_no, const InvestorTextRecord* extra) {
    return cancel_one<Market::Equity>(3, cfg, account_no, Role::Investor, extra ? extra->arg4 : nullptr, 0, order_no);
}
StatusResult Broker<7, StatusResult>::call(Cfg cfg, text account_no, text order_no) {
    return cancel_one<Market::Equity>(7, cfg, account_no, Role::MarketRep, nullptr, 0, order_no);
}

RecordList<DerivativesOrderActionError> Broker<2, RecordList<DerivativesOrderActionError>>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count, text extra) {
    return cancel_derivatives_batch(2, cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<DerivativesOrderActionError> Broker<6, RecordList<DerivativesOrderActionError>>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count) {
    return cancel_derivatives_batch(6, cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<4, RecordList<EquityOrderActionError>>::call(Cfg cfg, text account_no,
                                                                                       const text* order_nos,
                                                                                       std::int32_t count, text extra) {
    return cancel_equity_batch(4, cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<8, RecordList<EquityOrderActionError>>::call(Cfg cfg, text account_no,
                                                                                       const text* order_nos,
                                                                                       std::int32_t count) {
    return cancel_equity_batch(8, cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}

// ------------------------------------------------------------------ changes
namespace {

template <Market M>
StatusResult change_one(int op, Cfg cfg, text account_no, Role role, text pin, bool by_number_deriv,
                        std::int32_t dno, text eno, const BrokerState::Change& change) {
    Call c(op);
    StatusResult r{};
    if (!c.admit(cfg, role, r) || !c.pin_ok(pin, r)) return r;
    const bool found = M == Market::Derivatives ? c.derivatives_account(account_no) != nullptr : c.equity_account(account_no) != nullptr;
    if (!found) return c.no_account<StatusResult>(M == Market::Derivatives ? "derivatives" : "equity", account_no);
    const int i = by_number_deriv ? c.b.find_derivatives_order(dno) : c.b.find_equity_order(eno);
    Verdict v;
    if (order_of(c, i, account_no, v, by_number_deriv ? std::to_string(dno) : str(eno)) < 0) return c.refuse<StatusResult>(v);
    v = c.b.change(i, change, *c.user);
    if (!v.ok) return c.refuse<StatusResult>(v);
    r.success = 1;
    r.status_code = 200;
    r.message = c.arena.keep(v.text);
    return r;
}

}  // namespace

StatusResult Broker<9, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no,
                                           const InvestorDerivativesChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    BrokerState::Change ch;
    ch.price = q->arg4;
    ch.volume = q->arg5;
    ch.price_type = q->arg7;
    ch.validity = q->arg8;
    return change_one<Market::Derivatives>(9, cfg, account_no, Role::Investor, q->arg6, true, order_no, nullptr, ch);
}

StatusResult Broker<11, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no,
                                            const MarketrepDerivativesChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    BrokerState::Change ch;
    ch.new_account = str(q->arg4);
    ch.price = q->arg5;
    ch.volume = q->arg6;
    ch.price_type = q->arg7;
    ch.validity = q->arg8;
    return change_one<Market::Derivatives>(11, cfg, account_no, Role::MarketRep, nullptr, true, order_no, nullptr, ch);
}

StatusResult Broker<10, StatusResult>::call(Cfg cfg, text account_no, text order_no, const InvestorEquityChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    BrokerState::Change ch;
    ch.price = q->arg4;
    ch.volume = q->arg5;
    ch.trustee = q->arg7;
    ch.iceberg = q->arg8;
    ch.price_type = q->arg9;
    ch.bypass_warning = q->arg10 != 0;
    return change_one<Market::Equity>(10, cfg, account_no, Role::Investor, q->arg6, false, 0, order_no, ch);
}

StatusResult Broker<12, StatusResult>::call(Cfg cfg, text account_no, text order_no, const MarketrepEquityChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    BrokerState::Change ch;
    ch.new_account = str(q->arg4);
    ch.price = q->arg5;
    ch.volume = q->arg6;
    ch.iceberg = q->arg7;
    ch.trustee = q->arg8;
    ch.price_type = q->arg9;
    ch.bypass_warning = q->arg10 != 0;
    ch.nvdr = q->arg11 ? 1 : 0;
    return change_one<Market::Equity>(12, cfg, account_no, Role::MarketRep, nullptr, false, 0, order_no, ch);
}

}  // namespace tvx::sandbox
