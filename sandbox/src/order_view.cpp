// How an order reads: its texts, shared by the order records and the order
// stream's payload, and the order events an operation notes for the streams.
#include "broker_state.h"
#include "order_fields.h"
#include "replay.h"

namespace tvx::sandbox {

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
    t.trigger_condition = o.stop ? word_of(o.trigger, o.market) : "";
    t.trigger_symbol = o.trigger_inst >= 0 ? instruments[o.trigger_inst].symbol : "";
    t.reject_reason = o.reject_reason;
    t.cancel_id = o.cancelled_by;
    t.cancel_time = o.status == Status::Cancelled ? time_text(o.cancel_t) : "";
    switch (o.status) {
        case Status::Pending:
            t.show = "Waiting for trigger";
            t.meaning = "stop order: enters the book when the last price of " + t.trigger_symbol + " is " +
                        (o.trigger == Trigger::LastPaidOrHigher ? "at or above " : "at or below ") +
                        json::Writer().value(from_px(o.trigger_price)).str();
            break;
        case Status::Open:
            t.show = "Queuing", t.meaning = "queuing in the order book";
            break;
        case Status::Partial:
            t.show = "Partially matched";
            t.meaning = std::to_string(o.matched) + " matched, " + std::to_string(o.remaining()) + " queuing";
            break;
        case Status::Matched:
            t.show = "Matched", t.meaning = "fully matched";
            break;
        case Status::Cancelled:
            t.show = "Cancelled";
            t.meaning = "cancelled by " + o.cancelled_by +
                        (o.matched ? " after " + std::to_string(o.matched) + " matched" : std::string());
            break;
        case Status::Expired:
            t.show = "Expired", t.meaning = o.reject_reason;
            break;
        case Status::Rejected:
            t.show = "Rejected", t.meaning = o.reject_reason;
            break;
    }
    return t;
}

void BrokerState::order_json(json::Writer& w, const Order& o) const {
    const OrderTexts t = order_texts(o);
#define TVX_JSON_FIELD(key, value) put_json(w, #key, value);
    if (o.market == Market::Derivatives) {
        TVX_DERIVATIVES_ORDER_FIELDS(TVX_JSON_FIELD)
    } else {
        TVX_EQUITY_ORDER_FIELDS(TVX_JSON_FIELD)
    }
#undef TVX_JSON_FIELD
}

void BrokerState::note_order(int i, const char* event, Px match_px, int match_qty) {
    const Order& o = orders[i];
    const Topic topic = o.market == Market::Derivatives ? Topic::DerivativesOrder : Topic::EquityOrder;
    if (!streams.watched(topic, o.account)) return;
    streams.note(topic, o.account, -1, [this, o, event, match_px, match_qty, t = now](const std::string&) {
        json::Writer w;
        w.begin_object().field("event", event).field("event_time", date_text(t) + "T" + time_text(t));
        if (match_qty) w.field("match_price", from_px(match_px)).field("match_volume", match_qty);
        order_json(w, o);
        return w.end_object().take();
    });
}

bool BrokerState::ExchangeSide::from_history(int order) { return b.replay && b.replay->submit(b, order); }

}  // namespace tvx::sandbox
