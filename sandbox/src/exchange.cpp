// The exchange's rules (exchange.h).
#include "exchange.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "sessions.h"

namespace tvx::sandbox {

namespace {

bool same(const char* a, const char* b) { return same_text(a, b); }
bool empty(const char* a) { return !a || !*a; }

std::string price_text(Px p) { return engine::price_text(p); }

bool on_tick_grid(const Instrument& in, Px p) { return p > 0 && p % tick_at(in, p) == 0; }

}  // namespace

// --------------------------------------------------------------- accounts
// Money, positions and what open orders hold back are the ledger's; each
// event of an order's life is told to it as it happens (ledger.h).
int Exchange::ledger_account(const Order& o) const {
    return o.market == Market::Derivatives ? derivatives_.at(o.account).id : equity_.at(o.account).id;
}

engine::OrderTerms Exchange::terms_of(const Order& o) const {
    engine::OrderTerms s;
    s.account = ledger_account(o);
    s.inst = o.inst;
    s.side = o.side == Side::Buy ? engine::Side::Buy : engine::Side::Sell;
    s.mode = o.position == PositionMode::Open    ? engine::PositionMode::Open
             : o.position == PositionMode::Close ? engine::PositionMode::Close
                                                 : engine::PositionMode::Auto;
    if (o.market == Market::Equity) s.mode = engine::PositionMode::Open;
    s.hold_price = o.type == PriceType::Limit ? o.price : o.hold;
    s.volume = o.remaining();
    s.pending = o.status == Status::Pending;
    return s;
}

void Exchange::rehold(int i) { ledger_.replace(i, terms_of(orders_[i])); }

// Ends an active order: nothing of it stays in a book or the ledger.
void Exchange::end_order(int i, Status status, const char* event) {
    Order& o = orders_[i];
    unrest(i);
    drop_stop(i);
    o.cancelled += o.remaining();
    o.status = status;
    o.update_t = now_;
    ledger_.remove(i);
    sink_.order_noted(i, event, 0, 0);
}

void Exchange::expire(int i, std::string why) {
    orders_[i].reject_reason = std::move(why);
    end_order(i, Status::Expired, "EXPIRE");
}

void Exchange::drop_stop(int i) {
    Order& o = orders_[i];
    if (o.status != Status::Pending || !o.stop) return;
    instruments_[o.trigger_inst].book->cancel_stop(o.stop_handle);
}

// ----------------------------------------------------------------- checks
Verdict Exchange::check_price(int inst, PriceType type, Px price, bool bypass_warning) const {
    const Instrument& in = instruments_[inst];
    if (type == PriceType::Market) return Verdict::done("");
    if (price <= 0) return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    if (!on_tick_grid(in, price))
        return Verdict::fail(400, reason::kBadPrice,
                             "price " + price_text(price) + " is not a multiple of the tick " +
                                 price_text(tick_at(in, price)) + " of " + in.symbol);
    if (!in.banded) return Verdict::done("");  // no band, and no warning relative to one
    if (price > in.ceiling || price < in.floor)
        return Verdict::fail(422, reason::kPriceLimit,
                             "price " + price_text(price) + " is outside today's limits " + price_text(in.floor) +
                                 " to " + price_text(in.ceiling) + " of " + in.symbol);
    const Px mark = sink_.mark(inst);
    if (!bypass_warning && std::llabs(price - mark) > static_cast<Px>(mark * in.limit / 2))
        return Verdict::fail(422, reason::kPriceWarning,
                             "price " + price_text(price) + " is far from the last price " + price_text(mark) + " of " +
                                 in.symbol + "; set the bypass-warning flag to place it anyway");
    return Verdict::done("");
}

Verdict Exchange::check_new(const Placement& p, Order& o) {
    o.market = p.market;
    o.account = p.account;
    o.entered_by = p.entered_by;
    const int inst = sink_.instrument_index(p.symbol);
    if (inst < 0 || instruments_[inst].market != p.market)
        return Verdict::fail(400, reason::kUnknownSymbol,
                             std::string("no ") + (p.market == Market::Derivatives ? "derivatives" : "equity") +
                                 " instrument " + (p.symbol ? p.symbol : ""));
    const Instrument& in = instruments_[inst];
    o.inst = inst;
    if (!read_word(p.side, p.market, o.side))
        return Verdict::fail(400, reason::kBadSide,
                             std::string("side must be ") +
                                 (p.market == Market::Derivatives ? "LONG or SHORT" : "BUY or SELL") + ", not '" +
                                 (p.side ? p.side : "") + "'");
    if (p.market == Market::Derivatives) {
        if (empty(p.position))
            o.position = PositionMode::Auto;
        else if (!read_word(p.position, p.market, o.position))
            return Verdict::fail(400, reason::kBadPosition,
                                 std::string("position must be OPEN, CLOSE or AUTO, not '") + p.position + "'");
    }
    if (!read_word(p.price_type, p.market, o.type))
        return Verdict::fail(
            400, reason::kBadPriceType,
            std::string("price type must be LIMIT or MARKET, not '") + (p.price_type ? p.price_type : "") + "'");
    if (empty(p.validity))
        o.validity = Validity::Day;
    else if (!read_word(p.validity, p.market, o.validity))
        return Verdict::fail(400, reason::kBadValidity,
                             std::string("validity must be DAY, IOC or FOK, not '") + p.validity + "'");
    o.price = 0;
    // Without a band no ceiling bounds a MARKET buy: it holds at the last price.
    o.hold = o.type == PriceType::Market && !in.banded ? sink_.mark(inst) : 0;
    if (o.type == PriceType::Limit && p.price <= 0)
        return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    if (o.type == PriceType::Limit)
        if (const engine::PriceRead r = engine::read_price(p.price, o.price); r != engine::PriceRead::Ok)
            return Verdict::fail(400, reason::kBadPrice, engine::price_refusal(r, p.price));
    if (p.volume <= 0) return Verdict::fail(400, reason::kBadVolume, "volume must be above zero");
    if (p.volume % in.lot)
        return Verdict::fail(400, reason::kBadVolume,
                             "volume " + std::to_string(p.volume) + " is not a multiple of the board lot " +
                                 std::to_string(in.lot) + " of " + in.symbol);
    o.qty = p.volume;
    if (p.iceberg < 0 || (p.iceberg > 0 && (p.iceberg % in.lot || p.iceberg > p.volume)))
        return Verdict::fail(400, reason::kBadIceberg,
                             "iceberg volume must be 0 or a multiple of the board lot no larger than the volume");
    o.iceberg = p.iceberg == p.volume ? 0 : p.iceberg;
    o.nvdr = p.nvdr;
    if (!empty(p.trustee)) o.trustee = p.trustee;
    if (p.market == Market::Equity) {
        if (!empty(p.order_type) && !same(p.order_type, "NORMAL"))
            return Verdict::fail(400, reason::kBadOrderType,
                                 std::string("order type must be NORMAL, not '") + p.order_type + "'");
    }
    if (!empty(p.trigger_condition)) {
        o.stop = true;
        if (!read_word(p.trigger_condition, p.market, o.trigger))
            return Verdict::fail(
                400, reason::kBadTrigger,
                std::string("trigger condition must be LAST_PAID_OR_HIGHER, LAST_PAID_OR_LOWER or empty, not '") +
                    p.trigger_condition + "'");
        o.trigger_inst = empty(p.trigger_symbol) ? inst : sink_.instrument_index(p.trigger_symbol);
        if (o.trigger_inst < 0)
            return Verdict::fail(400, reason::kBadTrigger,
                                 std::string("no instrument ") + p.trigger_symbol + " to trigger on");
        if (p.trigger_price <= 0)
            return Verdict::fail(400, reason::kBadTrigger, "a stop order needs a trigger price above zero");
        if (const engine::PriceRead r = engine::read_price(p.trigger_price, o.trigger_price);
            r != engine::PriceRead::Ok)
            return Verdict::fail(400, reason::kBadTrigger, engine::price_refusal(r, p.trigger_price, "trigger price"));
    }
    return check_price(inst, o.type, o.price, p.bypass_warning);
}

// Whether the account can carry `o` besides its other orders (`skip` being
// the order's own earlier form, whose holds `o` takes over).
Verdict Exchange::check_funds(Order& o, int skip) {
    const Instrument& in = instruments_[o.inst];
    engine::OrderTerms req = terms_of(o);
    req.pending = false;
    const engine::Verdict v = ledger_.check(req, skip >= 0 ? skip : engine::kNoOrder);
    const std::string need = std::to_string(v.need);
    switch (v.refusal) {
        case engine::Refusal::None:
            return Verdict::done("");
        case engine::Refusal::NotAllowed:
            return Verdict::fail(403, reason::kNotAllowed,
                                 o.account + (o.side == Side::Buy ? " may not buy" : " may not sell"));
        case engine::Refusal::BadVolume:
            return Verdict::fail(400, reason::kBadVolume,
                                 "volume " + need + " of " + in.symbol + " would take " + o.account +
                                     "'s positions or money beyond what its records can hold");
        case engine::Refusal::InsufficientPosition:
            if (o.market == Market::Derivatives)
                return Verdict::fail(422, reason::kInsufficientPosition,
                                     std::to_string(v.available) + " " + (o.side == Side::Buy ? "short" : "long") +
                                         " contracts of " + in.symbol + " can be closed in " + o.account +
                                         ", the order needs " + need);
            return Verdict::fail(422, reason::kInsufficientPosition,
                                 o.account + " has " + std::to_string(v.available) + " " + in.symbol +
                                     " available to sell, the order needs " + need);
        case engine::Refusal::InsufficientFunds:
            if (o.market == Market::Derivatives)
                return Verdict::fail(422, reason::kInsufficientFunds,
                                     "opening " + std::to_string(v.opening) + " contracts of " + in.symbol +
                                         " needs margin " + v.required.text() + ", " + o.account + " has " +
                                         v.power.text() + " (excess equity plus credit line)");
            return Verdict::fail(422, reason::kInsufficientFunds,
                                 "buying " + need + " " + in.symbol + " needs " + v.required.text() + ", " + o.account +
                                     " can spend " + v.power.text());
    }
    return Verdict::done("");
}

// ------------------------------------------------------------------ orders
Verdict Exchange::place(const Placement& p) {
    if (!in_session_)
        return Verdict::fail(409, reason::kMarketClosed, "the market is closed until the next session opens");
    Order o;
    Verdict v = check_new(p, o);
    if (!v.ok) return v;
    v = check_funds(o, -1);
    if (!v.ok) return v;
    if (o.market == Market::Derivatives) {
        o.dno = orders_.take_derivatives_number();
        if (o.dno == 0) return Verdict::fail(503, reason::kNotAllowed, "no order numbers left");
    } else {
        o.eno = orders_.take_equity_number();
    }
    o.entry_t = o.update_t = now_;
    o.status = o.stop ? Status::Pending : Status::Open;
    if (o.status == Status::Open) o.exchange_no = orders_.take_exchange_number(o.market);
    const int i = orders_.add(std::move(o));
    ledger_.place(i, terms_of(orders_[i]));
    sink_.order_noted(i, "NEW", 0, 0);
    if (orders_[i].status == Status::Pending) {
        Order& o = orders_[i];
        o.stop_handle = instruments_[o.trigger_inst].book->add_stop(i, o.trigger, o.trigger_price);
        if (const Px last = sink_.last_price(o.trigger_inst))
            triggers_.emplace_back(o.trigger_inst, last);  // met already
    } else {
        submit(i);
    }
    settle();
    return Verdict::done("order " + orders_[i].number() + " accepted", i);
}

// The day's band on a grid every tick of it divides: the tick table's steps
// are not multiples of one another (0.10 and 0.25), so the grid is their
// greatest common divisor over the band.
void Exchange::make_book(int inst) {
    Instrument& in = instruments_[inst];
    // A replay's prices wander over many bands: the grid is the table's finest.
    const bool finest = in.replayed && !in.fixed_tick;
    Px unit = finest ? kPxScale / 100 : 0;
    for (Px p = std::max<Px>(1, in.floor); !finest && p <= in.ceiling; p += tick_at(in, p)) {
        unit = std::gcd(unit, tick_at(in, p));
        if (in.fixed_tick) break;
    }
    auto book = std::make_shared<engine::Book>(unit > 0 ? unit : 1, in.floor, in.ceiling);
    if (in.book) book->adopt_stops(*in.book);  // stop orders outlive the band
    in.book = std::move(book);
    sink_.book_replaced(inst);
}

engine::AddResult Exchange::to_book(int inst, const engine::BookOrder& o, engine::Handle replacing) {
    engine::Book& book = *instruments_[inst].book;
    const engine::AddResult r = replacing.valid() ? book.replace(replacing, o) : book.add(o);
    book_events(inst);
    return r;
}

void Exchange::book_events(int inst) {
    Instrument& in = instruments_[inst];
    const std::vector<engine::BookEvent> events = in.book->events();
    in.book->clear_events();
    for (const engine::BookEvent& e : events) {
        switch (e.kind) {
            case engine::BookEventKind::Filled: {
                const int taker = static_cast<int>(e.id), maker = static_cast<int>(e.maker);
                if (maker >= 0 && e.maker_left == 0) orders_[maker].in_book = false;
                if (maker == kLiquidity) sink_.quote_taken(inst);
                const bool buy = e.side == engine::Side::Buy;
                execute(inst, e.price, static_cast<int>(e.volume), buy ? taker : maker, buy ? maker : taker);
                break;
            }
            case engine::BookEventKind::Rested:
                if (e.id >= 0) {
                    orders_[e.id].in_book = true;
                    orders_[e.id].handle = e.handle;
                } else if (e.id == kLiquidity) {
                    sink_.quote_rested(inst, e.handle);
                }
                break;
            case engine::BookEventKind::BookChanged:
                sink_.book_changed(inst);
                break;
            default:
                break;
        }
    }
}

void Exchange::submit(int i) {
    Order& o = orders_[i];
    Instrument& in = instruments_[o.inst];
    if (in.replayed && sink_.from_history(i)) return;  // history decides its fills
    const Px limit = o.type == PriceType::Limit ? o.price : (o.side == Side::Buy ? in.ceiling : in.floor);
    const engine::Validity validity =
        o.type == PriceType::Market && o.validity == Validity::Day ? engine::Validity::IOC : o.validity;
    const engine::AddResult r =
        to_book(o.inst, engine::BookOrder{i, o.side, o.type, validity, limit, o.remaining(), o.iceberg});
    if (r.expired == 0) return;
    const Order& after = orders_[i];
    expire(i, r.filled == 0 && after.validity == Validity::FOK ? "fill-or-kill: the book could not fill it in full"
              : after.type == PriceType::Market                ? "market order: nothing left to match the rest"
                                                               : "immediate-or-cancel: the rest was not matched");
}

void Exchange::execute(int inst, Px px, int qty, int buyer, int seller) {
    sink_.traded(inst, px, qty);
    const std::string deal = orders_.take_deal_number();
    if (buyer >= 0) fill_order(buyer, px, qty, deal);
    if (seller >= 0) fill_order(seller, px, qty, deal);
    triggers_.emplace_back(inst, px);
}

void Exchange::fill_order(int i, Px px, int qty, const std::string& deal) {
    const engine::FillReport r = ledger_.fill(i, px, qty);
    Order& o = orders_[i];
    o.matched += qty;
    o.update_t = now_;
    o.status = o.remaining() == 0 ? Status::Matched : Status::Partial;
    Fill f{};
    f.market = o.market;
    f.account = o.account;
    f.order = i;
    f.inst = o.inst;
    f.side = o.side;
    f.px = px;
    f.qty = qty;
    f.deal_no = deal;
    f.entered_by = o.entered_by;
    f.trustee = o.trustee;
    f.trade_type = o.trade_report ? "TRADE_REPORT" : "NORMAL";
    f.t = now_;
    if (o.market == Market::Derivatives) {
        // One trade record for what closed, one for what opened.
        DerivativesAccountState& a = derivatives_.at(o.account);
        for (const auto& [close, part_qty] : {std::pair{true, r.closed}, std::pair{false, r.opened}}) {
            if (part_qty <= 0) continue;
            Fill part = f;
            part.close = close;
            part.qty = static_cast<int>(part_qty);
            part.ledger_seq = ++a.ledger_seq;
            part.trade_no = orders_.take_trade_number();
            orders_.add_fill(std::move(part));
        }
    } else {
        f.brokerage = r.brokerage;
        f.trading = r.trading;
        f.clearing = r.clearing;
        f.trade_no = orders_.take_trade_number();
        orders_.add_fill(std::move(f));
    }
    sink_.order_noted(i, "MATCH", px, qty);
}

void Exchange::unrest(int i) {
    Order& o = orders_[i];
    if (!o.in_book) return;
    instruments_[o.inst].book->remove(o.handle);
    book_events(o.inst);
    o.in_book = false;
}

Verdict Exchange::cancel(int i, const User& by) {
    Order& o = orders_[i];
    if (!o.active())
        return Verdict::fail(
            409, reason::kNotCancellable,
            "order " + o.number() + " is " + status_text(o.status) + " and can no longer be cancelled");
    if (o.trade_report)
        return Verdict::fail(409, reason::kNotCancellable, "order " + o.number() + " is a trade report");
    o.cancelled_by = by.id;
    o.cancel_t = now_;
    end_order(i, Status::Cancelled, "CANCEL");
    return Verdict::done("order " + o.number() + " cancelled", i);
}

Verdict Exchange::change(int i, const Change& c, const User& by) {
    const Order& o = orders_[i];
    if (!o.active() || o.trade_report)
        return Verdict::fail(409, reason::kNotChangeable,
                             "order " + o.number() + " is " + status_text(o.status) + " and can no longer be changed");
    const Instrument& in = instruments_[o.inst];
    Order n = o;
    bool changed = false, requeue = false;
    if (!c.new_account.empty() && c.new_account != o.account) {
        const bool exists =
            o.market == Market::Derivatives ? derivatives_.count(c.new_account) > 0 : equity_.count(c.new_account) > 0;
        const std::string owner = !exists                           ? ""
                                  : o.market == Market::Derivatives ? derivatives_.at(c.new_account).owner
                                                                    : equity_.at(c.new_account).owner;
        if (!exists || !sink_.may_see(by, owner))
            return Verdict::fail(404, reason::kBadAccount, "no account " + c.new_account + " to move the order to");
        if (o.matched > 0)
            return Verdict::fail(409, reason::kNotChangeable,
                                 "order " + o.number() + " is partly matched; its account can no longer change");
        n.account = c.new_account;
        changed = requeue = true;
    }
    if (!empty(c.price_type)) {
        PriceType t;
        if (!read_word(c.price_type, o.market, t))
            return Verdict::fail(400, reason::kBadPriceType,
                                 std::string("price type must be LIMIT or MARKET, not '") + c.price_type + "'");
        if (t != n.type) changed = requeue = true, n.type = t;
    }
    if (!empty(c.validity)) {
        Validity v;
        if (!read_word(c.validity, o.market, v))
            return Verdict::fail(400, reason::kBadValidity,
                                 std::string("validity must be DAY, IOC or FOK, not '") + c.validity + "'");
        if (v != n.validity) changed = requeue = true, n.validity = v;
    }
    if (n.type == PriceType::Market) {
        n.price = 0;
        if (o.type != PriceType::Market) n.hold = in.banded ? 0 : sink_.mark(o.inst);
    } else if (c.price > 0) {
        Px px = 0;
        if (const engine::PriceRead r = engine::read_price(c.price, px); r != engine::PriceRead::Ok)
            return Verdict::fail(400, reason::kBadPrice, engine::price_refusal(r, c.price));
        if (px != n.price) changed = requeue = true, n.price = px;
    } else if (n.price == 0) {
        return Verdict::fail(400, reason::kBadPrice, "a limit order needs a price above zero");
    }
    if (c.volume < 0) return Verdict::fail(400, reason::kBadVolume, "volume must be above zero");
    if (c.volume > 0 && c.volume != o.qty) {
        if (c.volume <= o.matched)
            return Verdict::fail(400, reason::kBadVolume,
                                 "the new volume must exceed the " + std::to_string(o.matched) + " already matched");
        if (c.volume % in.lot)
            return Verdict::fail(400, reason::kBadVolume,
                                 "volume " + std::to_string(c.volume) + " is not a multiple of the board lot " +
                                     std::to_string(in.lot) + " of " + in.symbol);
        if (c.volume > o.qty) requeue = true;
        n.qty = c.volume;
        changed = true;
    }
    if (c.iceberg < 0 || (c.iceberg > 0 && (c.iceberg % in.lot || c.iceberg > n.qty)))
        return Verdict::fail(400, reason::kBadIceberg,
                             "iceberg volume must be 0 or a multiple of the board lot no larger than the volume");
    if (c.iceberg > 0 && c.iceberg != o.iceberg) n.iceberg = c.iceberg == n.qty ? 0 : c.iceberg, changed = true;
    if (!empty(c.trustee) && c.trustee != o.trustee) n.trustee = c.trustee, changed = true;
    if (c.nvdr >= 0 && (c.nvdr != 0) != o.nvdr) n.nvdr = c.nvdr != 0, changed = true;
    if (!changed) return Verdict::fail(400, reason::kNoChange, "the change leaves order " + o.number() + " as it is");
    if (n.price != o.price || n.type != o.type) {
        const Verdict v = check_price(o.inst, n.type, n.price, c.bypass_warning);
        if (!v.ok) return v;
    }
    const Verdict v = check_funds(n, i);
    if (!v.ok) return v;

    // A lower volume keeps the order's place in the queue; anything else queues it afresh.
    const bool was_in_book = o.in_book;
    if (was_in_book && requeue) unrest(i);
    n.in_book = was_in_book && !requeue;
    n.version = o.version + 1;
    n.update_t = now_;
    orders_.move(i, n.account);
    orders_[i] = std::move(n);
    rehold(i);
    Order& now_order = orders_[i];
    if (now_order.in_book) {
        instruments_[now_order.inst].book->reduce(now_order.handle, now_order.remaining(), now_order.iceberg);
        book_events(now_order.inst);
    }
    sink_.order_noted(i, "CHANGE", 0, 0);
    if (orders_[i].status != Status::Pending && !orders_[i].in_book) submit(i);
    settle();
    return Verdict::done("order " + orders_[i].number() + " changed", i);
}

Verdict Exchange::trade_report(const User& by, const std::string& account, const char* symbol, double price, int volume,
                               const char* side, const char* position, const std::string& counter_account,
                               const char* counter_position, std::vector<std::int32_t>& numbers) {
    auto visible = [&](const std::string& no) {
        auto it = derivatives_.find(no);
        return it != derivatives_.end() && sink_.may_see(by, it->second.owner);
    };
    if (!visible(account)) return Verdict::fail(404, reason::kBadAccount, "no derivatives account " + account);
    if (!counter_account.empty() && !visible(counter_account))
        return Verdict::fail(404, reason::kBadAccount,
                             "no derivatives account " + counter_account + " for the counter party");
    if (counter_account == account)
        return Verdict::fail(400, reason::kBadAccount, "a trade report needs two different accounts");
    Placement p{Market::Derivatives, account, by.id, symbol, side, position, "LIMIT", "DAY", price, volume, true};
    Order mine;
    Verdict v = check_new(p, mine);
    if (!v.ok) return v;
    std::vector<Order> sides{mine};
    if (!counter_account.empty()) {
        Placement q = p;
        q.account = counter_account;
        q.side = mine.side == Side::Buy ? "SELL" : "BUY";
        q.position = counter_position;
        Order theirs;
        v = check_new(q, theirs);
        if (!v.ok) return v;
        sides.push_back(theirs);
    }
    for (Order& o : sides) {
        o.trade_report = true;
        v = check_funds(o, -1);
        if (!v.ok) return v;
    }
    if (orders_.derivatives_numbers_left() < static_cast<std::int64_t>(sides.size()))
        return Verdict::fail(503, reason::kNotAllowed, "no order numbers left");
    const std::string deal = orders_.take_deal_number();
    for (Order& o : sides) {
        o.dno = orders_.take_derivatives_number();
        o.entry_t = o.update_t = now_;
        o.status = Status::Open;
        o.exchange_no = orders_.take_exchange_number(Market::Derivatives);
        const int i = orders_.add(o);
        numbers.push_back(o.dno);
        ledger_.place(i, terms_of(orders_[i]));
        sink_.order_noted(i, "NEW", 0, 0);
        fill_order(i, o.price, o.qty, deal);
    }
    return Verdict::done("trade report accepted");
}

// ------------------------------------------------------------ stop orders
// A stop order waits in the book of its trigger instrument; each trade
// printed there is offered to that book once the operation's matching is done.
void Exchange::settle() {
    std::vector<engine::OrderId> met;
    for (std::size_t guard = 0; !triggers_.empty() && guard < 100000; ++guard) {
        const auto [inst, px] = triggers_.front();
        triggers_.erase(triggers_.begin());
        engine::Book& book = *instruments_[inst].book;
        if (book.stop_count() == 0) continue;
        met.clear();
        book.take_triggered(px, met);
        book_events(inst);
        for (engine::OrderId i : met)
            if (orders_[static_cast<std::size_t>(i)].status == Status::Pending) activate(static_cast<int>(i));
    }
    triggers_.clear();
}

void Exchange::activate(int i) {
    Order& o = orders_[i];
    o.update_t = now_;
    Verdict v = check_funds(o, i);
    if (!v.ok) {
        o.reject_code = v.number;
        o.reject_reason = v.message();
        end_order(i, Status::Rejected, "REJECT");
        return;
    }
    o.status = Status::Open;
    ledger_.activate(i);
    o.exchange_no = orders_.take_exchange_number(o.market);
    sink_.order_noted(i, "ACTIVATE", 0, 0);
    submit(i);
}

}  // namespace tvx::sandbox
