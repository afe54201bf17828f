// An order's fields, key by key, written once: the order records of the
// order queries and the order stream's payload are both made from these lists
// (`o` the order, `t` its texts, see BrokerState::order_texts).
#pragma once
#include <string>

#include "broker_state.h"

namespace tvx::sandbox {

// A text that is null when empty.
struct OrNull {
    std::string s;
};
// Always null.
struct Null {};

inline const char* yes_no(bool v) { return v ? "Y" : "N"; }

#define TVX_DERIVATIVES_ORDER_FIELDS(X)                                             \
    X(account_no, o.account)                                                        \
    X(balance_qty, o.remaining())                                                   \
    X(cancel_qty, o.cancelled)                                                      \
    X(entry_date, t.entry_date)                                                     \
    X(entry_id, o.entered_by)                                                       \
    X(entry_time, t.entry_time)                                                     \
    X(is_stop_order_not_activate, std::string(yes_no(o.status == Status::Pending))) \
    X(match_qty, o.matched)                                                         \
    X(order_no, o.dno)                                                              \
    X(position, t.position)                                                         \
    X(price, from_px(o.price))                                                      \
    X(price_type, t.price_type)                                                     \
    X(qty, o.qty)                                                                   \
    X(reject_code, o.reject_code)                                                   \
    X(reject_reason, OrNull{t.reject_reason})                                       \
    X(show_status, t.show)                                                          \
    X(side, t.side)                                                                 \
    X(status, t.status)                                                             \
    X(status_meaning, t.meaning)                                                    \
    X(symbol, t.symbol)                                                             \
    X(tfx_order_no, OrNull{t.exchange_no})                                          \
    X(trigger_condition, OrNull{t.trigger_condition})                               \
    X(trigger_price, from_px(o.trigger_price))                                      \
    X(trigger_symbol, OrNull{!o.stop ? std::string() : t.trigger_symbol})           \
    X(validity, t.validity)                                                         \
    X(version, o.version)

#define TVX_EQUITY_ORDER_FIELDS(X)                      \
    X(can_cancel, o.active() && !o.trade_report)        \
    X(can_change_account, o.active() && o.matched == 0) \
    X(account_no, o.account)                            \
    X(balance, o.remaining())                           \
    X(cancel_id, OrNull{t.cancel_id})                   \
    X(cancel_time, OrNull{t.cancel_time})               \
    X(cancelled, o.cancelled)                           \
    X(counter_party_member, Null{})                     \
    X(enter_id, o.entered_by)                           \
    X(entry_time, t.entry_time)                         \
    X(iceberg_vol, o.iceberg)                           \
    X(matched, o.matched)                               \
    X(nvdr_flag, std::string(yes_no(o.nvdr)))           \
    X(order_no, o.eno)                                  \
    X(order_type, o.order_type)                         \
    X(price, from_px(o.price))                          \
    X(price_type, t.price_type)                         \
    X(reject_code, o.reject_code)                       \
    X(reject_reason, OrNull{t.reject_reason})           \
    X(set_order_no, OrNull{t.exchange_no})              \
    X(show_order_status, t.show)                        \
    X(show_order_status_meaning, t.meaning)             \
    X(side, t.side)                                     \
    X(status, t.status)                                 \
    X(symbol, t.symbol)                                 \
    X(trade_date, t.entry_date)                         \
    X(trade_report_type, Null{})                        \
    X(trade_time, t.update_time)                        \
    X(validity, t.validity)                             \
    X(version, o.version)                               \
    X(vol, o.qty)                                       \
    X(can_change_price_vol, o.active())                 \
    X(can_change_trustee_id, o.active())                \
    X(trade_report, o.trade_report)

// Into a JSON payload.
inline void put_json(json::Writer& w, const char* key, const OrNull& v) {
    w.key(key);
    v.s.empty() ? w.null() : w.value(v.s);
}
inline void put_json(json::Writer& w, const char* key, Null) { w.key(key).null(); }
template <class V>
void put_json(json::Writer& w, const char* key, const V& v) {
    w.field(key, v);
}

}  // namespace tvx::sandbox
