// Order queries, placements, cancels, changes and trade reports.
//
// What each request field means (argN = the Python function's N-th argument):
// placements 3 symbol, 4 price, 5 volume, 6 side, then for derivatives
// 7 position, [PIN], price type, validity, trigger condition, trigger symbol,
// trigger price, bypass-warning flag; for equity [PIN], price type, validity,
// trustee id, order type, NVDR flag, iceberg volume, bypass-warning flag. The
// investor functions carry the PIN where the brackets are. README has the table.
#include <algorithm>
#include <optional>
#include <type_traits>

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

template <Market M>
using OrderRecord = std::conditional_t<M == Market::Derivatives, DerivativesOrder, EquityOrder>;

template <Market M>
OrderRecord<M> order_record(Arena& ar, const BrokerState& b, const Order& o) {
    if constexpr (M == Market::Derivatives) return derivatives_record(ar, b, o);
    else return equity_record(ar, b, o);
}

// Derivatives orders go by number, equity orders by text.
int find_order(const BrokerState& b, std::int32_t no) { return b.find_derivatives_order(no); }
int find_order(const BrokerState& b, text no) { return b.find_equity_order(no); }
std::string number_text(std::int32_t no) { return std::to_string(no); }
std::string number_text(text no) { return str(no); }

// The action went through: `r` carries what the broker said of it.
template <class R>
R succeeded(Call& c, R& r, const Verdict& v) {
    r.success = 1;
    r.status_code = 200;
    r.message = c.arena.keep(v.text);
    return r;
}

// ------------------------------------------------------------------ queries
template <Market M>
RecordList<OrderRecord<M>> order_list(Call& c, const std::string* account) {
    std::vector<OrderRecord<M>> items;
    auto add = [&](const Order& o) {
        if (o.market == M && (!account || o.account == *account) && visible_order(c.b, *c.user, o))
            items.push_back(order_record<M>(c.arena, c.b, o));
    };
    if (account) {
        auto mine = c.b.by_account.find(*account);
        if (mine != c.b.by_account.end())
            for (int i : mine->second) add(c.b.orders[i]);
    } else {
        for (std::size_t i = c.b.day_first_order; i < c.b.orders.size(); ++i) add(c.b.orders[i]);
    }
    return list_result<RecordList<OrderRecord<M>>>(c, items);
}

// The orders of one account, or with no account every order the caller may see.
template <Market M>
RecordList<OrderRecord<M>> orders_query(int op, Cfg cfg, Role role, std::optional<text> account_no) {
    Call c(op);
    RecordList<OrderRecord<M>> r{};
    if (account_no ? !c.admit_account<M>(cfg, role, *account_no, r) : !c.admit(cfg, role, r)) return r;
    if (!account_no) return order_list<M>(c, nullptr);
    const std::string account = str(*account_no);
    return order_list<M>(c, &account);
}

// One order, in the account if one is named.
template <Market M, class Number>
SingleResult<OrderRecord<M>> order_query(int op, Cfg cfg, Role role, std::optional<text> account_no, Number number) {
    using R = SingleResult<OrderRecord<M>>;
    Call c(op);
    R r{};
    if (account_no ? !c.admit_account<M>(cfg, role, *account_no, r) : !c.admit(cfg, role, r)) return r;
    const int i = find_order(c.b, number);
    const char* account = account_no.value_or(nullptr);
    if (i < 0 || !visible_order(c.b, *c.user, c.b.orders[i]) || (account && c.b.orders[i].account != account))
        return c.refuse<R>(404, "ORDER_NOT_FOUND: no order " + number_text(number) +
                                    (account ? std::string(" in account ") + account : ""));
    r.success = 1;
    r.status_code = 200;
    r.record = order_record<M>(c.arena, c.b, c.b.orders[i]);
    return r;
}

}  // namespace

DerivativesOrderResult Broker<15, DerivativesOrderResult>::call(Cfg cfg, text account_no, std::int32_t order_no) {
    return order_query<Market::Derivatives>(15, cfg, Role::Investor, account_no, order_no);
}
DerivativesOrderResult Broker<25, DerivativesOrderResult>::call(Cfg cfg, std::int32_t order_no) {
    return order_query<Market::Derivatives>(25, cfg, Role::MarketRep, std::nullopt, order_no);
}
EquityOrderResult Broker<20, EquityOrderResult>::call(Cfg cfg, text account_no, text order_no) {
    return order_query<Market::Equity>(20, cfg, Role::Investor, account_no, order_no);
}
EquityOrderResult Broker<31, EquityOrderResult>::call(Cfg cfg, text order_no) {
    return order_query<Market::Equity>(31, cfg, Role::MarketRep, std::nullopt, order_no);
}

RecordList<DerivativesOrder> Broker<16, RecordList<DerivativesOrder>>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Derivatives>(16, cfg, Role::Investor, account_no);
}
RecordList<DerivativesOrder> Broker<27, RecordList<DerivativesOrder>>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Derivatives>(27, cfg, Role::MarketRep, account_no);
}
RecordList<EquityOrder> Broker<21, RecordList<EquityOrder>>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Equity>(21, cfg, Role::Investor, account_no);
}
RecordList<EquityOrder> Broker<33, RecordList<EquityOrder>>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Equity>(33, cfg, Role::MarketRep, account_no);
}
RecordList<DerivativesOrder> Broker<26, RecordList<DerivativesOrder>>::call(Cfg cfg) {
    return orders_query<Market::Derivatives>(26, cfg, Role::MarketRep, std::nullopt);
}
RecordList<EquityOrder> Broker<32, RecordList<EquityOrder>>::call(Cfg cfg) {
    return orders_query<Market::Equity>(32, cfg, Role::MarketRep, std::nullopt);
}

// --------------------------------------------------------------- placement
namespace {

template <Market M>
using OrderNoResult = std::conditional_t<M == Market::Derivatives, DerivativesOrderNoResult, EquityOrderNoResult>;

template <Market M>
OrderNoResult<M> place_order(int op, Cfg cfg, text account_no, Role role, text pin, BrokerState::Placement p) {
    using R = OrderNoResult<M>;
    Call c(op);
    R r{};
    if (!c.admit_account<M>(cfg, role, pin, account_no, r)) return r;
    p.market = M;
    p.account = account_no;
    p.entered_by = c.user->id;
    const Verdict v = c.b.place(p);
    if (!v.ok) return c.refuse<R>(v);
    if constexpr (M == Market::Derivatives) r.order_no = c.b.orders[v.order].dno;
    else r.order_no = c.arena.keep(c.b.orders[v.order].eno);
    return succeeded(c, r, v);
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
    return place_order<Market::Derivatives>(38, cfg, account_no, Role::Investor, q->arg8, p);
}

DerivativesOrderNoResult Broker<40, DerivativesOrderNoResult>::call(Cfg cfg, text account_no,
                                                                    const MarketrepDerivativesPlaceRequest* q) {
    if (!q) return refusal<DerivativesOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg8, q->arg9, q->arg13);
    p.position = q->arg7;
    p.trigger_condition = q->arg10;
    p.trigger_symbol = q->arg11;
    p.trigger_price = q->arg12;
    return place_order<Market::Derivatives>(40, cfg, account_no, Role::MarketRep, nullptr, p);
}

EquityOrderNoResult Broker<39, EquityOrderNoResult>::call(Cfg cfg, text account_no, const InvestorEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg8, q->arg9, q->arg14);
    p.trustee = q->arg10;
    p.order_type = q->arg11;
    p.nvdr = q->arg12 != 0;
    p.iceberg = q->arg13;
    return place_order<Market::Equity>(39, cfg, account_no, Role::Investor, q->arg7, p);
}

EquityOrderNoResult Broker<42, EquityOrderNoResult>::call(Cfg cfg, text account_no, const MarketrepEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    BrokerState::Placement p = placement(q->arg3, q->arg4, q->arg5, q->arg6, q->arg7, q->arg8, q->arg13);
    p.trustee = q->arg9;
    p.order_type = q->arg10;
    p.nvdr = q->arg11 != 0;
    p.iceberg = q->arg12;
    return place_order<Market::Equity>(42, cfg, account_no, Role::MarketRep, nullptr, p);
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
    r = list_result<TradeReportResult>(c, numbers);
    return succeeded(c, r, v);
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

// An action on one order of the account, which `act` takes once the order is found.
template <Market M, class Number, class Act>
StatusResult order_action(int op, Cfg cfg, text account_no, Role role, text pin, Number number, Act act) {
    Call c(op);
    StatusResult r{};
    if (!c.admit_account<M>(cfg, role, pin, account_no, r)) return r;
    const int i = find_order(c.b, number);
    Verdict v;
    if (order_of(c, i, account_no, v, number_text(number)) < 0) return c.refuse<StatusResult>(v);
    v = act(c, i);
    if (!v.ok) return c.refuse<StatusResult>(v);
    return succeeded(c, r, v);
}

template <Market M, class Number>
StatusResult cancel_one(int op, Cfg cfg, text account_no, Role role, text pin, Number number) {
    return order_action<M>(op, cfg, account_no, role, pin, number,
                           [](Call& c, int i) { return c.b.cancel(i, *c.user); });
}

const char* http_status(std::int32_t code) {
    switch (code) {
        case 404: return "404 Not Found";
        case 409: return "409 Conflict";
        default: return "400 Bad Request";
    }
}

DerivativesOrderActionError action_error(Arena& ar, const Verdict& v, std::int32_t no) {
    return {ar.keep(v.code), ar.keep(v.text), ar.keep(http_status(v.status)), v.status, no};
}
EquityOrderActionError action_error(Arena& ar, const Verdict& v, text no) {
    EquityOrderActionError e{};
    e.code = ar.keep(v.code);
    e.message = ar.keep(v.text);
    e.http_status = ar.keep(http_status(v.status));
    e.http_status_code = v.status;
    e.order_no = ar.keep(str(no));
    return e;
}

template <Market M>
using ActionError = std::conditional_t<M == Market::Derivatives, DerivativesOrderActionError, EquityOrderActionError>;

// Cancels what it can; the result lists the orders it could not.
template <Market M, class Number>
RecordList<ActionError<M>> cancel_batch(int op, Cfg cfg, text account_no, Role role, text pin, const Number* numbers,
                                        std::int32_t count) {
    using R = RecordList<ActionError<M>>;
    Call c(op);
    R r{};
    if (!c.admit_account<M>(cfg, role, pin, account_no, r)) return r;
    std::vector<ActionError<M>> errors;
    for (std::int32_t k = 0; numbers && k < count; ++k) {
        Verdict v;
        const int i = order_of(c, find_order(c.b, numbers[k]), account_no, v, number_text(numbers[k]));
        if (i >= 0) v = c.b.cancel(i, *c.user);
        if (v.ok) continue;
        errors.push_back(action_error(c.arena, v, numbers[k]));
    }
    r = list_result<R>(c, errors);
    r.message = c.arena.keep(std::to_string(count - static_cast<std::int32_t>(errors.size())) + " of " +
                             std::to_string(count) + " orders cancelled");
    return r;
}

}  // namespace

StatusResult Broker<1, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no, const InvestorTextRecord* extra) {
    return cancel_one<Market::Derivatives>(1, cfg, account_no, Role::Investor, extra ? extra->arg4 : nullptr, order_no);
}
StatusResult Broker<5, StatusResult>::call(Cfg cfg, text account_no, std::int32_t order_no) {
    return cancel_one<Market::Derivatives>(5, cfg, account_no, Role::MarketRep, nullptr, order_no);
}
StatusResult Broker<3, StatusResult>::call(Cfg cfg, text account_no, text order_no, const InvestorTextRecord* extra) {
    return cancel_one<Market::Equity>(3, cfg, account_no, Role::Investor, extra ? extra->arg4 : nullptr, order_no);
}
StatusResult Broker<7, StatusResult>::call(Cfg cfg, text account_no, text order_no) {
    return cancel_one<Market::Equity>(7, cfg, account_no, Role::MarketRep, nullptr, order_no);
}

RecordList<DerivativesOrderActionError> Broker<2, RecordList<DerivativesOrderActionError>>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count, text extra) {
    return cancel_batch<Market::Derivatives>(2, cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<DerivativesOrderActionError> Broker<6, RecordList<DerivativesOrderActionError>>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count) {
    return cancel_batch<Market::Derivatives>(6, cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<4, RecordList<EquityOrderActionError>>::call(Cfg cfg, text account_no,
                                                                                       const text* order_nos,
                                                                                       std::int32_t count, text extra) {
    return cancel_batch<Market::Equity>(4, cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<8, RecordList<EquityOrderActionError>>::call(Cfg cfg, text account_no,
                                                                                       const text* order_nos,
                                                                                       std::int32_t count) {
    return cancel_batch<Market::Equity>(8, cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}

// ------------------------------------------------------------------ changes
namespace {

template <Market M, class Number>
StatusResult change_one(int op, Cfg cfg, text account_no, Role role, text pin, Number number,
                        const BrokerState::Change& change) {
    return order_action<M>(op, cfg, account_no, role, pin, number,
                           [&](Call& c, int i) { return c.b.change(i, change, *c.user); });
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
    return change_one<Market::Derivatives>(9, cfg, account_no, Role::Investor, q->arg6, order_no, ch);
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
    return change_one<Market::Derivatives>(11, cfg, account_no, Role::MarketRep, nullptr, order_no, ch);
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
    return change_one<Market::Equity>(10, cfg, account_no, Role::Investor, q->arg6, order_no, ch);
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
    return change_one<Market::Equity>(12, cfg, account_no, Role::MarketRep, nullptr, order_no, ch);
}

}  // namespace tvx::sandbox
