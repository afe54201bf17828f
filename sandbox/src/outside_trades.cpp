// Trades made outside the book, as a replayed history brings them: the print
// reaches market data, the positions' mark and the stop orders; a user order
// fills against it (out of the book, or shrunk in place) and the ledger
// books the fill as it books a match.
#include <algorithm>

#include "exchange.h"

namespace tvx::sandbox {

void Exchange::outside_trade(int inst, Px px, int qty) {
    sink_.traded(inst, px, qty);
    triggers_.emplace_back(inst, px);
}

void Exchange::fill_outside(int order, Px px, std::int64_t qty) {
    Order& o = orders_[order];
    if (qty <= 0 || !o.active()) return;
    qty = std::min<std::int64_t>(qty, o.remaining());
    if (o.in_book) {
        const std::int64_t left = o.remaining() - qty;
        engine::Book& book = *instruments_[o.inst].book;
        if (left == 0) {
            book.remove(o.handle);
            o.in_book = false;
        } else {
            book.reduce(o.handle, left, o.iceberg > 0 && o.iceberg < left ? o.iceberg : 0);
        }
        book_events(o.inst);
    }
    fill_order(order, px, static_cast<int>(qty), orders_.take_deal_number());
}

}  // namespace tvx::sandbox
