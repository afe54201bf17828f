// Trades made outside the book, as a replayed history brings them: the print
// reaches market data, the positions' mark and the stop orders; a user order
// fills against it (out of the book, or shrunk in place) and the ledger
// books the fill as it books a match.
#include "broker_state.h"

namespace tvx::sandbox {

void BrokerState::print(int inst, Px px, int qty) {
    print_trade(inst, px, qty);
    exchange.note_trigger(inst, px);
}

void BrokerState::fill_outside(int order, Px px, std::int64_t qty) {
    Order& o = orders[order];
    if (qty <= 0 || !o.active()) return;
    qty = std::min<std::int64_t>(qty, o.remaining());
    if (o.in_book) {
        const std::int64_t left = o.remaining() - qty;
        engine::Book& book = *instruments[o.inst].book;
        if (left == 0) {
            book.remove(o.handle);
            o.in_book = false;
        } else {
            book.reduce(o.handle, left, o.iceberg > 0 && o.iceberg < left ? o.iceberg : 0);
        }
        book_events(o.inst);
    }
    fill_order(order, px, static_cast<int>(qty), orders.take_deal_number());
}

}  // namespace tvx::sandbox
