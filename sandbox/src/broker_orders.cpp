// Order queries, placements, cancels, changes and trade reports: request
// records in (read by meaning, requests.h), the exchange's calls, result
// records out.
#include <algorithm>
#include <optional>
#include <type_traits>

#include "broker_ops.h"
#include "order_fields.h"
#include "requests.h"

namespace tvx::sandbox {
namespace {

// Into a record field.
void put(Arena& ar, text& f, const std::string& v) { f = ar.keep(v); }
void put(Arena& ar, text& f, const OrNull& v) { f = ar.keep_or_null(v.s); }
void put(Arena&, text& f, Null) { f = nullptr; }
template <class F, class V>
void put(Arena&, F& f, const V& v) {
    f = static_cast<F>(v);
}

#define TVX_RECORD_FIELD(key, value) put(ar, r.key, value);
DerivativesOrder derivatives_record(Arena& ar, const BrokerState& b, const Order& o) {
    const OrderTexts t = b.order_texts(o);
    DerivativesOrder r{};
    TVX_DERIVATIVES_ORDER_FIELDS(TVX_RECORD_FIELD)
    return r;
}

EquityOrder equity_record(Arena& ar, const BrokerState& b, const Order& o) {
    const OrderTexts t = b.order_texts(o);
    EquityOrder r{};
    TVX_EQUITY_ORDER_FIELDS(TVX_RECORD_FIELD)
    return r;
}
#undef TVX_RECORD_FIELD

bool visible_order(const BrokerState& b, const User& u, const Order& o) {
    const std::string& owner =
        o.market == Market::Derivatives ? b.derivatives.at(o.account).owner : b.equity.at(o.account).owner;
    return b.may_see(u, owner);
}

template <Market M>
using OrderRecord = std::conditional_t<M == Market::Derivatives, DerivativesOrder, EquityOrder>;

template <Market M>
OrderRecord<M> order_record(Arena& ar, const BrokerState& b, const Order& o) {
    if constexpr (M == Market::Derivatives)
        return derivatives_record(ar, b, o);
    else
        return equity_record(ar, b, o);
}

// Derivatives orders go by number, equity orders by text.
int find_order(const BrokerState& b, std::int32_t no) { return b.orders.find_derivatives(no); }
int find_order(const BrokerState& b, text no) { return b.orders.find_equity(no); }
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
        if (const std::vector<int>* mine = c.b.orders.of_account(*account))
            for (int i : *mine) add(c.b.orders[i]);
    } else {
        for (std::size_t i = c.b.orders.day_first(); i < c.b.orders.size(); ++i) add(c.b.orders[i]);
    }
    return list_result<RecordList<OrderRecord<M>>>(c, items);
}

// The orders of one account, or with no account every order the caller may see.
template <Market M>
RecordList<OrderRecord<M>> orders_query(Cfg cfg, Role role, std::optional<text> account_no) {
    Call c(cfg);
    RecordList<OrderRecord<M>> r{};
    if (account_no ? !c.admit_account<M>(cfg, role, *account_no, r) : !c.admit(cfg, role, r)) return r;
    if (!account_no) return order_list<M>(c, nullptr);
    const std::string account = str(*account_no);
    return order_list<M>(c, &account);
}

// One order, in the account if one is named.
template <Market M, class Number>
SingleResult<OrderRecord<M>> order_query(Cfg cfg, Role role, std::optional<text> account_no, Number number) {
    using R = SingleResult<OrderRecord<M>>;
    Call c(cfg);
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

DerivativesOrderResult Broker<Op::get_investor_derivatives_order>::call(Cfg cfg, text account_no,
                                                                        std::int32_t order_no) {
    return order_query<Market::Derivatives>(cfg, Role::Investor, account_no, order_no);
}
DerivativesOrderResult Broker<Op::get_marketrep_derivatives_order>::call(Cfg cfg, std::int32_t order_no) {
    return order_query<Market::Derivatives>(cfg, Role::MarketRep, std::nullopt, order_no);
}
EquityOrderResult Broker<Op::get_investor_equity_order>::call(Cfg cfg, text account_no, text order_no) {
    return order_query<Market::Equity>(cfg, Role::Investor, account_no, order_no);
}
EquityOrderResult Broker<Op::get_marketrep_equity_order>::call(Cfg cfg, text order_no) {
    return order_query<Market::Equity>(cfg, Role::MarketRep, std::nullopt, order_no);
}

RecordList<DerivativesOrder> Broker<Op::get_investor_derivatives_orders>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Derivatives>(cfg, Role::Investor, account_no);
}
RecordList<DerivativesOrder> Broker<Op::get_marketrep_derivatives_orders_by_account_no>::call(Cfg cfg,
                                                                                              text account_no) {
    return orders_query<Market::Derivatives>(cfg, Role::MarketRep, account_no);
}
RecordList<EquityOrder> Broker<Op::get_investor_equity_orders>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Equity>(cfg, Role::Investor, account_no);
}
RecordList<EquityOrder> Broker<Op::get_marketrep_equity_orders_by_account_no>::call(Cfg cfg, text account_no) {
    return orders_query<Market::Equity>(cfg, Role::MarketRep, account_no);
}
RecordList<DerivativesOrder> Broker<Op::get_marketrep_derivatives_orders>::call(Cfg cfg) {
    return orders_query<Market::Derivatives>(cfg, Role::MarketRep, std::nullopt);
}
RecordList<EquityOrder> Broker<Op::get_marketrep_equity_orders>::call(Cfg cfg) {
    return orders_query<Market::Equity>(cfg, Role::MarketRep, std::nullopt);
}

// --------------------------------------------------------------- placement
namespace {

template <Market M>
using OrderNoResult = std::conditional_t<M == Market::Derivatives, DerivativesOrderNoResult, EquityOrderNoResult>;

template <Market M>
OrderNoResult<M> place_order(Cfg cfg, text account_no, Role role, text pin, Exchange::Placement p) {
    using R = OrderNoResult<M>;
    Call c(cfg);
    R r{};
    if (!c.admit_account<M>(cfg, role, pin, account_no, r)) return r;
    p.market = M;
    p.account = account_no;
    p.entered_by = c.user->id;
    const Verdict v = c.b.exchange.place(p);
    if (!v.ok) return c.refuse<R>(v);
    if constexpr (M == Market::Derivatives)
        r.order_no = c.b.orders[v.order].dno;
    else
        r.order_no = c.arena.keep(c.b.orders[v.order].eno);
    return succeeded(c, r, v);
}

Exchange::Placement placement(text symbol, double price, int volume, text side, text price_type, text validity,
                              bool bypass) {
    Exchange::Placement p{};
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

DerivativesOrderNoResult Broker<Op::place_investor_derivatives_order>::call(Cfg cfg, text account_no,
                                                                            const InvestorDerivativesPlaceRequest* q) {
    if (!q) return refusal<DerivativesOrderNoResult>(400, "no request");
    const auto f = Request<InvestorDerivativesPlaceRequest>::of(*q);
    Exchange::Placement p = placement(f.symbol, f.price, f.volume, f.side, f.price_type, f.validity, f.bypass_warning);
    p.position = f.position;
    p.trigger_condition = f.trigger_condition;
    p.trigger_symbol = f.trigger_symbol;
    p.trigger_price = f.trigger_price;
    return place_order<Market::Derivatives>(cfg, account_no, Role::Investor, f.pin, p);
}

DerivativesOrderNoResult Broker<Op::place_marketrep_derivatives_order>::call(
    Cfg cfg, text account_no, const MarketrepDerivativesPlaceRequest* q) {
    if (!q) return refusal<DerivativesOrderNoResult>(400, "no request");
    const auto f = Request<MarketrepDerivativesPlaceRequest>::of(*q);
    Exchange::Placement p = placement(f.symbol, f.price, f.volume, f.side, f.price_type, f.validity, f.bypass_warning);
    p.position = f.position;
    p.trigger_condition = f.trigger_condition;
    p.trigger_symbol = f.trigger_symbol;
    p.trigger_price = f.trigger_price;
    return place_order<Market::Derivatives>(cfg, account_no, Role::MarketRep, nullptr, p);
}

EquityOrderNoResult Broker<Op::place_investor_equity_order>::call(Cfg cfg, text account_no,
                                                                  const InvestorEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    const auto f = Request<InvestorEquityPlaceRequest>::of(*q);
    Exchange::Placement p = placement(f.symbol, f.price, f.volume, f.side, f.price_type, f.validity, f.bypass_warning);
    p.trustee = f.trustee;
    p.order_type = f.order_type;
    p.nvdr = f.nvdr != 0;
    p.iceberg = f.iceberg;
    return place_order<Market::Equity>(cfg, account_no, Role::Investor, f.pin, p);
}

EquityOrderNoResult Broker<Op::place_marketrep_equity_order>::call(Cfg cfg, text account_no,
                                                                   const MarketrepEquityPlaceRequest* q) {
    if (!q) return refusal<EquityOrderNoResult>(400, "no request");
    const auto f = Request<MarketrepEquityPlaceRequest>::of(*q);
    Exchange::Placement p = placement(f.symbol, f.price, f.volume, f.side, f.price_type, f.validity, f.bypass_warning);
    p.trustee = f.trustee;
    p.order_type = f.order_type;
    p.nvdr = f.nvdr != 0;
    p.iceberg = f.iceberg;
    return place_order<Market::Equity>(cfg, account_no, Role::MarketRep, nullptr, p);
}

TradeReportResult Broker<Op::place_marketrep_derivatives_trade_report>::call(Cfg cfg, const TradeReportRequest* q) {
    Call c(cfg);
    TradeReportResult r{};
    if (!c.admit(cfg, Role::MarketRep, r)) return r;
    if (!q) return c.refuse<TradeReportResult>(400, "no request");
    std::vector<std::int32_t> numbers;
    const auto f = Request<TradeReportRequest>::of(*q);
    const Verdict v = c.b.exchange.trade_report(*c.user, str(f.account), f.symbol, f.price, f.volume, f.side,
                                                f.position, str(f.counter_account), f.counter_position, numbers);
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
StatusResult order_action(Cfg cfg, text account_no, Role role, text pin, Number number, Act act) {
    Call c(cfg);
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
StatusResult cancel_one(Cfg cfg, text account_no, Role role, text pin, Number number) {
    return order_action<M>(cfg, account_no, role, pin, number,
                           [](Call& c, int i) { return c.b.exchange.cancel(i, *c.user); });
}

const char* http_status(std::int32_t code) {
    switch (code) {
        case 404:
            return "404 Not Found";
        case 409:
            return "409 Conflict";
        default:
            return "400 Bad Request";
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
RecordList<ActionError<M>> cancel_batch(Cfg cfg, text account_no, Role role, text pin, const Number* numbers,
                                        std::int32_t count) {
    using R = RecordList<ActionError<M>>;
    Call c(cfg);
    R r{};
    if (!c.admit_account<M>(cfg, role, pin, account_no, r)) return r;
    std::vector<ActionError<M>> errors;
    for (std::int32_t k = 0; numbers && k < count; ++k) {
        Verdict v;
        const int i = order_of(c, find_order(c.b, numbers[k]), account_no, v, number_text(numbers[k]));
        if (i >= 0) v = c.b.exchange.cancel(i, *c.user);
        if (v.ok) continue;
        errors.push_back(action_error(c.arena, v, numbers[k]));
    }
    r = list_result<R>(c, errors);
    r.message = c.arena.keep(std::to_string(count - static_cast<std::int32_t>(errors.size())) + " of " +
                             std::to_string(count) + " orders cancelled");
    return r;
}

}  // namespace

StatusResult Broker<Op::cancel_investor_derivatives_order>::call(Cfg cfg, text account_no, std::int32_t order_no,
                                                                 const InvestorTextRecord* extra) {
    return cancel_one<Market::Derivatives>(cfg, account_no, Role::Investor,
                                           extra ? Request<InvestorTextRecord>::of(*extra).pin : nullptr, order_no);
}
StatusResult Broker<Op::cancel_marketrep_derivatives_order>::call(Cfg cfg, text account_no, std::int32_t order_no) {
    return cancel_one<Market::Derivatives>(cfg, account_no, Role::MarketRep, nullptr, order_no);
}
StatusResult Broker<Op::cancel_investor_equity_order>::call(Cfg cfg, text account_no, text order_no,
                                                            const InvestorTextRecord* extra) {
    return cancel_one<Market::Equity>(cfg, account_no, Role::Investor,
                                      extra ? Request<InvestorTextRecord>::of(*extra).pin : nullptr, order_no);
}
StatusResult Broker<Op::cancel_marketrep_equity_order>::call(Cfg cfg, text account_no, text order_no) {
    return cancel_one<Market::Equity>(cfg, account_no, Role::MarketRep, nullptr, order_no);
}

RecordList<DerivativesOrderActionError> Broker<Op::cancel_investor_derivatives_orders>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count, text extra) {
    return cancel_batch<Market::Derivatives>(cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<DerivativesOrderActionError> Broker<Op::cancel_marketrep_derivatives_orders>::call(
    Cfg cfg, text account_no, const std::int32_t* order_nos, std::int32_t count) {
    return cancel_batch<Market::Derivatives>(cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<Op::cancel_investor_equity_orders>::call(Cfg cfg, text account_no,
                                                                                   const text* order_nos,
                                                                                   std::int32_t count, text extra) {
    return cancel_batch<Market::Equity>(cfg, account_no, Role::Investor, extra, order_nos, count);
}
RecordList<EquityOrderActionError> Broker<Op::cancel_marketrep_equity_orders>::call(Cfg cfg, text account_no,
                                                                                    const text* order_nos,
                                                                                    std::int32_t count) {
    return cancel_batch<Market::Equity>(cfg, account_no, Role::MarketRep, nullptr, order_nos, count);
}

// ------------------------------------------------------------------ changes
namespace {

template <Market M, class Number>
StatusResult change_one(Cfg cfg, text account_no, Role role, text pin, Number number, const Exchange::Change& change) {
    return order_action<M>(cfg, account_no, role, pin, number,
                           [&](Call& c, int i) { return c.b.exchange.change(i, change, *c.user); });
}

}  // namespace

StatusResult Broker<Op::change_investor_derivatives_order>::call(Cfg cfg, text account_no, std::int32_t order_no,
                                                                 const InvestorDerivativesChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    const auto f = Request<InvestorDerivativesChangeRequest>::of(*q);
    Exchange::Change ch;
    ch.price = f.price;
    ch.volume = f.volume;
    ch.price_type = f.price_type;
    ch.validity = f.validity;
    return change_one<Market::Derivatives>(cfg, account_no, Role::Investor, f.pin, order_no, ch);
}

StatusResult Broker<Op::change_marketrep_derivatives_order>::call(Cfg cfg, text account_no, std::int32_t order_no,
                                                                  const MarketrepDerivativesChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    const auto f = Request<MarketrepDerivativesChangeRequest>::of(*q);
    Exchange::Change ch;
    ch.new_account = str(f.account);
    ch.price = f.price;
    ch.volume = f.volume;
    ch.price_type = f.price_type;
    ch.validity = f.validity;
    return change_one<Market::Derivatives>(cfg, account_no, Role::MarketRep, nullptr, order_no, ch);
}

StatusResult Broker<Op::change_investor_equity_order>::call(Cfg cfg, text account_no, text order_no,
                                                            const InvestorEquityChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    const auto f = Request<InvestorEquityChangeRequest>::of(*q);
    Exchange::Change ch;
    ch.price = f.price;
    ch.volume = f.volume;
    ch.trustee = f.trustee;
    ch.iceberg = f.iceberg;
    ch.price_type = f.price_type;
    ch.bypass_warning = f.bypass_warning != 0;
    return change_one<Market::Equity>(cfg, account_no, Role::Investor, f.pin, order_no, ch);
}

StatusResult Broker<Op::change_marketrep_equity_order>::call(Cfg cfg, text account_no, text order_no,
                                                             const MarketrepEquityChangeRequest* q) {
    if (!q) return refusal<StatusResult>(400, "no request");
    const auto f = Request<MarketrepEquityChangeRequest>::of(*q);
    Exchange::Change ch;
    ch.new_account = str(f.account);
    ch.price = f.price;
    ch.volume = f.volume;
    ch.iceberg = f.iceberg;
    ch.trustee = f.trustee;
    ch.price_type = f.price_type;
    ch.bypass_warning = f.bypass_warning != 0;
    ch.nvdr = f.nvdr ? 1 : 0;
    return change_one<Market::Equity>(cfg, account_no, Role::MarketRep, nullptr, order_no, ch);
}

}  // namespace tvx::sandbox
