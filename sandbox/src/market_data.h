// Market data: the tape, the one-minute candles, each instrument's figures
// of the day, and the pictures (book, price information, candle) made of
// them for the streams. It owns that state alone; the exchange tells it of
// trades and changes of the book, a replay of the quotes it shows, the
// trading day when a day starts. What happens is written to an EventSink.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "event_sink.h"
#include "instrument.h"

namespace tvx::sandbox {

struct Candle {
    std::int64_t t;  // opening second of the minute
    Px open, high, low, close;
    std::int64_t volume;
    double value;
    std::uint64_t seq;  // tape number of its last trade
};

// Candle intervals: a candle opens at origin plus a multiple of its length.
struct IntervalRule {
    const char* name;
    std::int64_t seconds;
    std::int64_t origin;
};
const IntervalRule* find_interval(const char* name);
// One-minute candles combined into candles of `interval`, oldest first.
std::vector<Candle> aggregate(const std::vector<Candle>& minutes, const IntervalRule& interval);

// An instrument's trading of the day so far.
struct DayFigures {
    Px last = 0, open = 0, high = 0, low = 0;  // 0: no trade yet
    std::int64_t volume = 0;
    double value = 0;
    std::uint64_t last_seq = 0;  // tape number of the last trade
    std::int64_t last_time = 0;
};

// A quote shown beside the book's own orders (a replay's history).
struct ShownQuote {
    bool quoted = false;  // the history has its quotes; else the quote shown follows the last print
    Px bid = 0, ask = 0;  // 0 when none
    std::int64_t bid_volume = 0, ask_volume = 0;
};

struct Print {
    std::uint64_t seq;
    int inst;
    Px px;
    int qty;
    std::int64_t t;
};

class MarketData {
   public:
    // Reads the instruments' terms, day band and book; writes to `sink`.
    MarketData(const std::vector<Instrument>& instruments, EventSink& sink) : instruments_(instruments), sink_(sink) {}
    MarketData(const MarketData&) = delete;
    MarketData& operator=(const MarketData&) = delete;

    // The instrument just added to the instruments has no trades.
    void add_instrument() { lines_.emplace_back(); }

    // A public trade at time t: the day's figures, the minute candle and the
    // tape move; watchers of its price information and candles hear of it.
    void print(int inst, Px px, int qty, std::int64_t t);
    // The book shown may have changed: watchers get its picture, once per
    // change they can see within an operation.
    void book_changed(int inst, std::int64_t t);
    // Changes of the book until the scope ends count as one (a requote).
    class Quiet {
       public:
        Quiet(MarketData& m, int inst, std::int64_t t) : m_(m), inst_(inst), t_(t), was_(m.quiet_) { m.quiet_ = true; }
        ~Quiet() {
            m_.quiet_ = was_;
            m_.book_changed(inst_, t_);
        }
        Quiet(const Quiet&) = delete;
        Quiet& operator=(const Quiet&) = delete;

       private:
        MarketData& m_;
        int inst_;
        std::int64_t t_;
        bool was_;
    };
    // A quote to show beside the book (a replay's); a book change.
    void show_quote(int inst, Px bid, std::int64_t bid_volume, Px ask, std::int64_t ask_volume, std::int64_t t);
    // Whether the quote shown comes from quotes of the history.
    void set_quoted(int inst, bool quoted) { lines_[inst].quote.quoted = quoted; }

    // A new day: the day's figures start over (candles and tape go on).
    void start_day(int inst) { lines_[inst].day = DayFigures{}; }
    // The instrument starts over (a replay of it begins): its figures, its
    // quote shown, its prints on the tape, and its candles, with room for
    // `minutes` of them in one allocation.
    void restart(int inst, std::size_t minutes);

    const DayFigures& day(int inst) const { return lines_[inst].day; }
    const ShownQuote& quote(int inst) const { return lines_[inst].quote; }
    const std::vector<Candle>& candles(int inst) const { return lines_[inst].candles; }
    const std::deque<Print>& tape() const { return tape_; }
    std::uint64_t tape_seq() const { return tape_seq_; }
    // The price positions are valued at: the last trade's, else the reference.
    Px mark(int inst) const {
        const Px last = lines_[inst].day.last;
        return last ? last : instruments_[inst].reference;
    }
    Px best_bid(int inst) const;
    Px best_ask(int inst) const;

    // Pictures at time t.
    std::string book_picture(int inst, std::int64_t t) const;
    std::string info_picture(int inst, std::int64_t t) const;
    // The newest candle of `interval` as it stood when minute candle `k`
    // looked like `minute` (older minutes no longer change); "" for an
    // unknown interval.
    std::string candle_picture(int inst, const std::string& interval, std::size_t k, const Candle& minute) const;
    // What a newcomer to a cached topic gets first; "" for other topics.
    std::string current_picture(Topic topic, int inst, std::int64_t t) const;

    // The operation's events went out: the next book change is news again.
    void flushed() { last_book_.clear(); }

    static constexpr std::size_t kTapeLength = 5000;  // the latest public trades kept

   private:
    struct InfoSnapshot;
    InfoSnapshot info_snapshot(int inst, std::int64_t t) const;
    struct Line {
        DayFigures day;
        ShownQuote quote;
        std::vector<Candle> candles;  // one-minute candles, oldest first
    };
    const std::vector<Instrument>& instruments_;
    EventSink& sink_;
    std::vector<Line> lines_;
    std::deque<Print> tape_;
    std::uint64_t tape_seq_ = 0;
    std::map<int, std::string> last_book_;  // the book picture last noted in this operation
    bool quiet_ = false;
};

}  // namespace tvx::sandbox
