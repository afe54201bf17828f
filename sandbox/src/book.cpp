// The order book: price levels in pages of 64 made on demand (a hash from
// page to storage, an ordered map of the pages that hold orders), a bitmap of
// non-empty levels per page for finding the next best, and orders in a slot
// vector with a free list, linked into their level's FIFO queue, so that
// adding, matching a queue's head and cancelling are O(1) near the best, and
// the best moves across empty ground in O(log pages).
#include "book.h"

#include <algorithm>
#include <stdexcept>

namespace tvx::sandbox::engine {

Book::Book(Px unit, Px low, Px high) : unit_(unit > 0 ? unit : 1) { (void)low, (void)high; }

// ------------------------------------------------------------------ levels
std::int64_t Book::index_of(Px p) const {
    if (p <= 0 || p % unit_) throw std::invalid_argument("price off the book's grid");
    return p / unit_;
}

const Book::Page* Book::find_page(const SideBook& sb, std::int64_t key) {
    const SideBook::Recent& r = sb.recent[key & 15];
    if (r.key == key) return &sb.pages[r.page];
    const auto it = sb.index.find(key);
    if (it == sb.index.end()) return nullptr;
    const_cast<SideBook&>(sb).recent[key & 15] = SideBook::Recent{key, it->second};
    return &sb.pages[it->second];
}

std::uint32_t Book::page_at(SideBook& sb, std::int64_t key) {
    SideBook::Recent& r = sb.recent[key & 15];
    if (r.key == key) return r.page;
    const auto it = sb.index.find(key);
    std::uint32_t at;
    if (it != sb.index.end()) {
        at = it->second;
    } else if (!sb.spare.empty()) {
        at = sb.spare.back();
        sb.spare.pop_back();
        sb.pages[at] = Page{};
        sb.index.emplace(key, at);
    } else {
        at = static_cast<std::uint32_t>(sb.pages.size());
        sb.pages.emplace_back();
        sb.index.emplace(key, at);
    }
    r = SideBook::Recent{key, at};
    return at;
}

// Pages left empty stay for a while (a requote empties and refills the same
// ones); once they outnumber the pages in use, they go back to the spares.
void Book::release_empty(SideBook& sb) {
    if (sb.index.size() <= 2 * sb.live.size() + 64) return;
    for (auto it = sb.index.begin(); it != sb.index.end();) {
        if (sb.pages[it->second].bits) {
            ++it;
            continue;
        }
        sb.spare.push_back(it->second);
        it = sb.index.erase(it);
    }
    for (SideBook::Recent& r : sb.recent) r = SideBook::Recent{};
}

// The first non-empty level from `from` on, downwards for bids, upwards for asks.
std::int64_t Book::next_best(const SideBook& sb, std::int64_t from, Side s) const {
    if (from < 0 || sb.live.empty()) return -1;
    const std::int64_t key = from >> 6;
    const int b = static_cast<int>(from & 63);
    if (const Page* p = find_page(sb, key)) {
        const std::uint64_t word = s == Side::Buy
                                       ? p->bits & (b == 63 ? ~std::uint64_t{0} : ((std::uint64_t{1} << (b + 1)) - 1))
                                       : p->bits & (~std::uint64_t{0} << b);
        if (word) return s == Side::Buy ? (key << 6) + 63 - __builtin_clzll(word) : (key << 6) + __builtin_ctzll(word);
    }
    if (s == Side::Buy) {
        auto it = sb.live.lower_bound(key);
        if (it == sb.live.begin()) return -1;
        --it;
        return (it->first << 6) + 63 - __builtin_clzll(sb.pages[it->second].bits);
    }
    const auto it = sb.live.upper_bound(key);
    if (it == sb.live.end()) return -1;
    return (it->first << 6) + __builtin_ctzll(sb.pages[it->second].bits);
}

// ------------------------------------------------------------------- slots
std::uint32_t Book::new_slot() {
    if (!free_.empty()) {
        const std::uint32_t s = free_.back();
        free_.pop_back();
        return s;
    }
    slots_.push_back(Slot{});
    slots_.back().gen = 0;
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

Book::Slot* Book::slot_of(Handle h) {
    if (!h.valid() || h.slot >= slots_.size()) return nullptr;
    Slot& s = slots_[h.slot];
    return s.live && s.gen == h.gen ? &s : nullptr;
}

const Book::Slot* Book::slot_of(Handle h) const { return const_cast<Book*>(this)->slot_of(h); }

void Book::link_back(std::int64_t li, std::uint32_t s) {
    SideBook& sb = side_(slots_[s].side);
    const std::uint32_t at = page_at(sb, li >> 6);
    Page& page = sb.pages[at];
    Level& l = page.levels[li & 63];
    Slot& sl = slots_[s];
    sl.prev = l.tail;
    sl.next = kNil;
    if (l.tail == kNil) {
        l.head = static_cast<std::int32_t>(s);
        if (!page.bits) sb.live.emplace(li >> 6, at);
        page.bits |= std::uint64_t{1} << (li & 63);
        const bool better = sb.best < 0 || (sl.side == Side::Buy ? li > sb.best : li < sb.best);
        if (better) sb.best = li;
    } else {
        slots_[static_cast<std::size_t>(l.tail)].next = static_cast<std::int32_t>(s);
    }
    l.tail = static_cast<std::int32_t>(s);
    ++l.count;
    l.shown += sl.shown;
    l.total += sl.remaining;
}

void Book::unlink(std::int64_t li, std::uint32_t s) {
    Slot& sl = slots_[s];
    SideBook& sb = side_(sl.side);
    Page& page = sb.pages[page_at(sb, li >> 6)];
    Level& l = page.levels[li & 63];
    if (sl.prev != kNil)
        slots_[static_cast<std::size_t>(sl.prev)].next = sl.next;
    else
        l.head = sl.next;
    if (sl.next != kNil)
        slots_[static_cast<std::size_t>(sl.next)].prev = sl.prev;
    else
        l.tail = sl.prev;
    --l.count;
    l.shown -= sl.shown;
    l.total -= sl.remaining;
    if (l.head == kNil) {
        page.bits &= ~(std::uint64_t{1} << (li & 63));
        if (!page.bits) sb.live.erase(li >> 6);
        if (sb.best == li) sb.best = next_best(sb, sl.side == Side::Buy ? li - 1 : li + 1, sl.side);
        if (!page.bits) release_empty(sb);
    }
}

// ---------------------------------------------------------------- matching
std::int64_t Book::fillable(Side taker, Px limit) const {
    const Side maker = opposite(taker);
    const SideBook& sb = side_(maker);
    std::int64_t n = 0;
    for (std::int64_t i = sb.best; i >= 0; i = next_best(sb, maker == Side::Buy ? i - 1 : i + 1, maker)) {
        const Px p = price_of(i);
        if (taker == Side::Buy ? p > limit : p < limit) break;
        n += level(sb, i).total;
    }
    return n;
}

std::int64_t Book::match(Side taker, OrderId id, Px limit, std::int64_t volume) {
    const Side maker = opposite(taker);
    SideBook& sb = side_(maker);
    while (volume > 0 && sb.best >= 0) {
        const std::int64_t li = sb.best;
        const Px px = price_of(li);
        if (taker == Side::Buy ? px > limit : px < limit) break;
        while (volume > 0 && sb.best == li) {
            Level& l = level(sb, li);
            const std::uint32_t s = static_cast<std::uint32_t>(l.head);
            Slot& m = slots_[s];
            const std::int64_t n = std::min(volume, m.shown);
            m.remaining -= n;
            m.shown -= n;
            l.shown -= n;
            l.total -= n;
            volume -= n;
            const Handle mh{s, m.gen};
            const OrderId maker_id = m.id;
            const std::int64_t left = m.remaining;
            if (left == 0) {
                // Its last unit: off the book (the level may empty and best move on).
                unlink(li, s);
                m.live = false;
                ++m.gen;
                free_.push_back(s);
                --live_;
            } else if (m.shown == 0) {
                // The next slice of an iceberg queues behind the orders already at its price.
                unlink(li, s);
                m.shown = std::min(m.peak, m.remaining);
                link_back(li, s);
            }
            events_.push_back(
                BookEvent{BookEventKind::Filled, taker, ExpiryReason::None, id, maker_id, mh, px, n, volume, left});
            events_.push_back(BookEvent{BookEventKind::BookChanged, maker, ExpiryReason::None, 0, 0, {}, px, 0, 0, 0});
        }
    }
    return volume;
}

Handle Book::rest(const BookOrder& o, std::int64_t volume) {
    const std::int64_t li = index_of(o.price);
    const std::uint32_t s = new_slot();
    Slot& sl = slots_[s];
    sl.id = o.id;
    sl.price = o.price;
    sl.remaining = volume;
    sl.peak = o.peak > 0 && o.peak < volume ? o.peak : volume;
    sl.shown = sl.peak;
    sl.side = o.side;
    sl.live = true;
    link_back(li, s);
    ++live_;
    const Handle h{s, sl.gen};
    events_.push_back(BookEvent{BookEventKind::Rested, o.side, ExpiryReason::None, o.id, 0, h, o.price, volume, 0, 0});
    events_.push_back(BookEvent{BookEventKind::BookChanged, o.side, ExpiryReason::None, 0, 0, {}, o.price, 0, 0, 0});
    return h;
}

AddResult Book::add(const BookOrder& o) {
    AddResult r;
    if (o.volume <= 0) throw std::invalid_argument("order volume must be above zero");
    if (o.type == PriceType::Limit && o.validity == Validity::Day)
        index_of(o.price);  // checks the grid before anything moves
    events_.push_back(
        BookEvent{BookEventKind::Accepted, o.side, ExpiryReason::None, o.id, 0, {}, o.price, o.volume, 0, 0});
    if (o.validity == Validity::FOK && fillable(o.side, o.price) < o.volume) {
        r.expired = o.volume;
        events_.push_back(
            BookEvent{BookEventKind::Expired, o.side, ExpiryReason::FillOrKill, o.id, 0, {}, o.price, o.volume, 0, 0});
        return r;
    }
    const std::int64_t left = match(o.side, o.id, o.price, o.volume);
    r.filled = o.volume - left;
    if (left == 0) return r;
    if (o.type == PriceType::Market || o.validity != Validity::Day) {
        r.expired = left;
        const ExpiryReason why = o.type == PriceType::Market   ? ExpiryReason::Market
                                 : o.validity == Validity::FOK ? ExpiryReason::FillOrKill
                                                               : ExpiryReason::ImmediateOrCancel;
        events_.push_back(BookEvent{BookEventKind::Expired, o.side, why, o.id, 0, {}, o.price, left, 0, 0});
        return r;
    }
    r.resting = left;
    r.handle = rest(o, left);
    return r;
}

// ------------------------------------------------------- cancel and change
std::int64_t Book::take_off(Handle h, Slot*& s) {
    s = slot_of(h);
    if (!s) return 0;
    const std::int64_t left = s->remaining;
    unlink(s->price / unit_, h.slot);
    s->live = false;
    ++s->gen;
    free_.push_back(h.slot);
    --live_;
    events_.push_back(BookEvent{BookEventKind::BookChanged, s->side, ExpiryReason::None, 0, 0, {}, s->price, 0, 0, 0});
    return left;
}

bool Book::cancel(Handle h) {
    Slot* s = slot_of(h);
    if (!s) return false;
    const OrderId id = s->id;
    const Px px = s->price;
    const Side side = s->side;
    const std::int64_t left = s->remaining;
    events_.push_back(BookEvent{BookEventKind::Cancelled, side, ExpiryReason::None, id, 0, h, px, left, 0, 0});
    take_off(h, s);
    return true;
}

std::int64_t Book::remove(Handle h) {
    Slot* s;
    return take_off(h, s);
}

bool Book::reduce(Handle h, std::int64_t volume, std::int64_t peak) {
    Slot* s = slot_of(h);
    if (!s || volume <= 0 || volume > s->remaining) return false;
    Level& l = level(side_(s->side), s->price / unit_);
    l.shown -= s->shown;
    l.total -= s->remaining;
    s->remaining = volume;
    s->peak = peak > 0 && peak < volume ? peak : volume;
    s->shown = std::min({s->shown, s->peak, s->remaining});
    if (s->shown == 0) s->shown = std::min(s->peak, s->remaining);
    l.shown += s->shown;
    l.total += s->remaining;
    events_.push_back(
        BookEvent{BookEventKind::Reduced, s->side, ExpiryReason::None, s->id, 0, h, s->price, volume, 0, 0});
    events_.push_back(BookEvent{BookEventKind::BookChanged, s->side, ExpiryReason::None, 0, 0, {}, s->price, 0, 0, 0});
    return true;
}

AddResult Book::replace(Handle h, const BookOrder& o) {
    if (o.type == PriceType::Limit && o.validity == Validity::Day) index_of(o.price);
    remove(h);
    return add(o);
}

// ------------------------------------------------------------------- stops
StopHandle Book::add_stop(OrderId id, Trigger t, Px trigger_price) {
    const StopHandle s{t, trigger_price, ++stop_seq_};
    (t == Trigger::LastPaidOrHigher ? stops_high_ : stops_low_).emplace(std::make_pair(trigger_price, s.seq), id);
    return s;
}

bool Book::cancel_stop(const StopHandle& s) {
    return (s.trigger == Trigger::LastPaidOrHigher ? stops_high_ : stops_low_).erase(std::make_pair(s.price, s.seq)) >
           0;
}

void Book::take_triggered(Px last, std::vector<OrderId>& out) {
    std::vector<std::pair<std::uint64_t, OrderId>> met;
    // Higher: every trigger at or below the trade; lower: every trigger at or above it.
    auto hi_end = stops_high_.upper_bound(std::make_pair(last, UINT64_MAX));
    for (auto it = stops_high_.begin(); it != hi_end; ++it) met.emplace_back(it->first.second, it->second);
    stops_high_.erase(stops_high_.begin(), hi_end);
    auto lo_begin = stops_low_.lower_bound(std::make_pair(last, std::uint64_t{0}));
    for (auto it = lo_begin; it != stops_low_.end(); ++it) met.emplace_back(it->first.second, it->second);
    stops_low_.erase(lo_begin, stops_low_.end());
    std::sort(met.begin(), met.end());
    for (const auto& [seq, id] : met) {
        out.push_back(id);
        events_.push_back(BookEvent{BookEventKind::Activated, Side::Buy, ExpiryReason::None, id, 0, {}, last, 0, 0, 0});
    }
}

void Book::adopt_stops(Book& old) {
    if (&old == this) return;
    stops_high_ = std::move(old.stops_high_);
    stops_low_ = std::move(old.stops_low_);
    stop_seq_ = std::max(stop_seq_, old.stop_seq_);
    old.stops_high_.clear();
    old.stops_low_.clear();
}

// ------------------------------------------------------------------- views
Px Book::best_bid() const { return bids_.best < 0 ? 0 : price_of(bids_.best); }
Px Book::best_ask() const { return asks_.best < 0 ? 0 : price_of(asks_.best); }

std::vector<LevelView> Book::depth(Side s, std::size_t n) const {
    std::vector<LevelView> out;
    const SideBook& sb = side_(s);
    for (std::int64_t i = sb.best; i >= 0 && out.size() < n; i = next_best(sb, s == Side::Buy ? i - 1 : i + 1, s)) {
        const Level& l = level(sb, i);
        out.push_back(LevelView{price_of(i), l.shown, l.total, l.count});
    }
    return out;
}

bool Book::view(Handle h, RestingView& out) const {
    const Slot* s = slot_of(h);
    if (!s) return false;
    out = RestingView{s->id, s->side, s->price, s->remaining, s->shown, s->peak};
    return true;
}

}  // namespace tvx::sandbox::engine
