// One instrument's order book: price-time queues, matching, cancel, reduce and
// replace, iceberg slices, and the stop orders that wait for a trade of this
// instrument. It knows prices, volumes and the caller's order ids, nothing of
// accounts, texts or threads; what happens is reported as typed events.
//
// Usage (one Book per instrument, guarded by the caller's lock):
//   Book b(grid_unit, floor, ceiling);
//   AddResult r = b.add({id, Side::Buy, PriceType::Limit, Validity::Day, price, volume, peak});
//   for (const BookEvent& e : b.events()) ...;  b.clear_events();
//   b.cancel(r.handle);
//
// Matching rules (those the broker documents):
// - Price, then time. A limit order matches resting orders at its price or
//   better, at the resting order's price; the rest of a DAY limit order rests.
// - MARKET: `price` is the day's limit price (ceiling for buys, floor for
//   sells); the order takes what the book offers up to it and never rests: the
//   rest expires (ExpiryReason::Market).
// - IOC: the part not matched at once expires. FOK: if the book (hidden iceberg
//   volume included) cannot fill it in full within its price, it expires
//   untouched; otherwise it fills in full.
// - Icebergs (`peak` > 0 and < volume): only a slice of `peak` shows. A taker
//   matches the visible slice; when a slice is used up the next one queues at
//   the back of its price level, behind the orders already there (and may be
//   matched by the same taker if it reaches it).
// - An order matches whatever is on the other side, its owner's own orders
//   included (no self-trade prevention, as the broker has always done).
// - reduce() keeps the order's place in the queue; replace() takes it out and
//   adds it anew, so it queues last and may match at once.
//
// Prices of orders that rest must be multiples of the grid unit given at
// construction (the caller checks the tick grid and the day's limits first);
// add() throws std::invalid_argument otherwise, before anything changes. Any
// price above zero may rest, however far from the others: levels live in
// pages of 64 made as orders reach them (a coin travelling from 5 to 94,000 at
// 0.01 costs only the pages its orders touch). For a tick table, the unit must
// divide every tick of the band: the greatest common divisor of its ticks
// (0.10 and 0.25 give 0.05; the tick at the floor alone would put 25.25 off
// the grid). Should the band move to other ticks (a new reference price), make
// a new Book for the new band.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "money.h"

namespace tvx::sandbox::engine {

// The caller's order id. The book never interprets it: several resting orders
// may share one (e.g. all the liquidity provider's quotes).
using OrderId = std::int64_t;

enum class Side : std::uint8_t { Buy, Sell };
enum class PriceType : std::uint8_t { Limit, Market };
enum class Validity : std::uint8_t { Day, IOC, FOK };
enum class Trigger : std::uint8_t { LastPaidOrHigher, LastPaidOrLower };

inline constexpr Side opposite(Side s) { return s == Side::Buy ? Side::Sell : Side::Buy; }

// A resting order's place in a book. Stale once the order leaves the book
// (filled, cancelled, replaced); the book then ignores it (generation check).
struct Handle {
    std::uint32_t slot = UINT32_MAX;
    std::uint32_t gen = 0;
    bool valid() const { return slot != UINT32_MAX; }
    bool operator==(const Handle&) const = default;
};

struct BookOrder {
    OrderId id;
    Side side;
    PriceType type = PriceType::Limit;
    Validity validity = Validity::Day;
    Px price;               // limit price; for MARKET the day's limit price on the order's side
    std::int64_t volume;    // > 0
    std::int64_t peak = 0;  // iceberg slice; 0 (or >= volume) shows it all
};

enum class BookEventKind : std::uint8_t {
    Accepted,     // id, side, price, volume: an order came in (add, replace)
    Filled,       // id = taker, maker, maker_handle, price (the maker's), volume, taker_left, maker_left
    Rested,       // id, handle, price, volume: the order's rest now queues in the book
    Reduced,      // id, handle, price, volume (new remaining): changed in place
    Cancelled,    // id, handle, price, volume taken off the book
    Expired,      // id, price, volume that expired, why
    BookChanged,  // side, price: the level whose shown or hidden volume changed
    Activated,    // id, price (the trade that met it): a stop order's trigger is met
};

enum class ExpiryReason : std::uint8_t { None, FillOrKill, ImmediateOrCancel, Market };

struct BookEvent {
    BookEventKind kind;
    Side side;  // the subject's side (the taker's for Filled)
    ExpiryReason why = ExpiryReason::None;
    OrderId id = 0;
    OrderId maker = 0;
    Handle handle{};  // the subject's place (Rested, Reduced, Cancelled), the maker's for Filled
    Px price = 0;
    std::int64_t volume = 0;
    std::int64_t taker_left = 0;  // Filled: the taker's volume still to match after this fill
    std::int64_t maker_left = 0;  // Filled: the maker's remaining after it (0: it left the book)
};

struct AddResult {
    Handle handle;             // valid when part of the order rests
    std::int64_t filled = 0;   // matched at once
    std::int64_t resting = 0;  // left in the book
    std::int64_t expired = 0;  // expired (IOC, FOK, MARKET)
};

// A resting order as the book holds it.
struct RestingView {
    OrderId id;
    Side side;
    Px price;
    std::int64_t remaining;  // shown and hidden
    std::int64_t shown;      // part of the current slice still open
    std::int64_t peak;       // slice size (== remaining for a plain order)
};

struct LevelView {
    Px price;
    std::int64_t shown;  // visible volume (iceberg slices only)
    std::int64_t total;  // hidden volume included
    std::int32_t orders;
    bool operator==(const LevelView&) const = default;
};

// A stop order waiting in the book of its trigger instrument.
struct StopHandle {
    Trigger trigger;
    Px price;
    std::uint64_t seq;
};

class Book {
   public:
    // `unit`: the price grid's quantum (the smallest tick); [low, high]: the
    // prices expected (the day's band), only a hint.
    Book(Px unit, Px low = 0, Px high = 0);

    // Matches and rests (or expires) a new order. Events: Accepted, then per fill
    // Filled + BookChanged, then Rested + BookChanged or Expired.
    AddResult add(const BookOrder& o);

    // Takes a resting order off the book: Cancelled + BookChanged. False (and no
    // event) for a stale handle.
    bool cancel(Handle h);
    // Takes it off without a Cancelled event (the caller's order lives on, e.g.
    // to be added again). Returns what it had left, 0 for a stale handle.
    std::int64_t remove(Handle h);

    // Lowers a resting order's remaining volume (and sets its slice size) in
    // place, keeping its queue position: Reduced + BookChanged. `volume` must be
    // > 0 and at most what remains; `peak` as in BookOrder. False for a stale
    // handle or a volume outside that range.
    bool reduce(Handle h, std::int64_t volume, std::int64_t peak);

    // Takes the order out (no Cancelled event) and adds `o` anew (it queues last
    // and may match at once). A stale handle just adds `o`.
    AddResult replace(Handle h, const BookOrder& o);

    // Volume (hidden included) a taker on `side` could match within `limit`.
    std::int64_t fillable(Side taker, Px limit) const;

    // Stop orders triggered by this instrument's trades. The book only keeps and
    // releases them: the caller checks the activation and adds the order to the
    // book of its own instrument.
    StopHandle add_stop(OrderId id, Trigger t, Px trigger_price);
    bool cancel_stop(const StopHandle& s);
    // Removes the stops a trade at `last` meets (LastPaidOrHigher: last >=
    // trigger; LastPaidOrLower: last <= trigger) and appends their ids to `out`
    // in the order they were added; one Activated event each.
    void take_triggered(Px last, std::vector<OrderId>& out);
    std::size_t stop_count() const { return stops_high_.size() + stops_low_.size(); }
    // Takes over `old`'s stop orders, their handles still valid: a new book
    // for a new band keeps the instrument's stops.
    void adopt_stops(Book& old);

    // Views.
    Px best_bid() const;  // 0 when empty
    Px best_ask() const;  // 0 when empty
    // Up to `n` levels of a side, best first.
    std::vector<LevelView> depth(Side s, std::size_t n) const;
    bool view(Handle h, RestingView& out) const;
    std::size_t resting() const { return live_; }
    // Every level, best first: f(const LevelView&).
    template <class F>
    void for_each_level(Side s, F&& f) const;
    // Every resting order, in priority order: f(const RestingView&).
    template <class F>
    void for_each_order(Side s, F&& f) const;

    // Events of the operations since the last clear, in order.
    const std::vector<BookEvent>& events() const { return events_; }
    void clear_events() { events_.clear(); }

   private:
    static constexpr std::int32_t kNil = -1;
    struct Slot {
        OrderId id;
        Px price;
        std::int64_t remaining, shown, peak;
        std::int32_t prev, next;
        std::uint32_t gen;
        Side side;
        bool live;
    };
    struct Level {
        std::int32_t head = kNil, tail = kNil;
        std::int32_t count = 0;
        std::int64_t shown = 0, total = 0;
    };
    // Level i holds price i x unit_; page k holds levels 64k to 64k + 63.
    struct Page {
        std::uint64_t bits = 0;  // non-empty levels
        Level levels[64];
    };
    struct SideBook {
        std::deque<Page> pages;                                 // stable while the book grows
        std::vector<std::uint32_t> spare;                       // pages free for reuse
        std::unordered_map<std::int64_t, std::uint32_t> index;  // page key -> page, empty ones included
        std::map<std::int64_t, std::uint32_t> live;             // pages with orders, by key
        struct Recent {
            std::int64_t key = -1;
            std::uint32_t page = 0;
        } recent[16];            // the pages last looked up
        std::int64_t best = -1;  // level index of the best price, -1 when empty
    };

    Px unit_;
    SideBook bids_, asks_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_;
    std::size_t live_ = 0;
    std::vector<BookEvent> events_;
    std::uint64_t stop_seq_ = 0;
    std::map<std::pair<Px, std::uint64_t>, OrderId> stops_high_, stops_low_;

    SideBook& side_(Side s) { return s == Side::Buy ? bids_ : asks_; }
    const SideBook& side_(Side s) const { return s == Side::Buy ? bids_ : asks_; }
    std::int64_t index_of(Px p) const;  // throws for a price off the grid
    Px price_of(std::int64_t i) const { return i * unit_; }
    static const Page* find_page(const SideBook& sb, std::int64_t key);
    static std::uint32_t page_at(SideBook& sb, std::int64_t key);  // made when missing
    static Level& level(SideBook& sb, std::int64_t i) { return sb.pages[page_at(sb, i >> 6)].levels[i & 63]; }
    static const Level& level(const SideBook& sb, std::int64_t i) { return find_page(sb, i >> 6)->levels[i & 63]; }
    static void release_empty(SideBook& sb);
    Slot* slot_of(Handle h);
    const Slot* slot_of(Handle h) const;
    std::uint32_t new_slot();
    void link_back(std::int64_t li, std::uint32_t s);
    void unlink(std::int64_t li, std::uint32_t s);
    std::int64_t next_best(const SideBook& sb, std::int64_t from, Side s) const;
    std::int64_t match(Side taker, OrderId id, Px limit, std::int64_t volume);
    Handle rest(const BookOrder& o, std::int64_t volume);
    std::int64_t take_off(Handle h, Slot*& s);
};

template <class F>
void Book::for_each_level(Side s, F&& f) const {
    const SideBook& sb = side_(s);
    for (std::int64_t i = sb.best; i >= 0; i = next_best(sb, s == Side::Buy ? i - 1 : i + 1, s)) {
        const Level& l = level(sb, i);
        f(LevelView{price_of(i), l.shown, l.total, l.count});
    }
}

template <class F>
void Book::for_each_order(Side s, F&& f) const {
    const SideBook& sb = side_(s);
    for (std::int64_t i = sb.best; i >= 0; i = next_best(sb, s == Side::Buy ? i - 1 : i + 1, s))
        for (std::int32_t k = level(sb, i).head; k != kNil; k = slots_[k].next) {
            const Slot& sl = slots_[k];
            f(RestingView{sl.id, sl.side, sl.price, sl.remaining, sl.shown, sl.peak});
        }
}

}  // namespace tvx::sandbox::engine
