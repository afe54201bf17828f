// Market data alone, writing to a sink that records what it is told:
// candles across minute, day and week boundaries (before 1970 too), a day's
// start clearing the day's figures once and nothing else, the tape's bound
// and a restart, and what reaches watchers (only watched topics, one book
// picture per visible change, a quiet change noted once).
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../../sandbox/src/market_data.h"
#include "check.h"

using namespace tvx::sandbox;

namespace {

// A price as the instrument's terms would have computed it; market data never does.
Px px_of(double p) { return static_cast<Px>(p * kPxScale + 0.5); }

struct Sink final : EventSink {
    std::set<std::pair<Topic, std::string>> watching;
    struct Note {
        Topic topic;
        std::string subject;
        Maker make;
    };
    std::vector<Note> notes;
    bool watched(Topic t, const std::string& s) const override { return watching.count({t, s}) > 0; }
    void note(Topic t, const std::string& s, int, Maker make) override { notes.push_back({t, s, std::move(make)}); }
    std::size_t count(Topic t) const {
        std::size_t n = 0;
        for (const Note& x : notes) n += x.topic == t;
        return n;
    }
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Instrument instrument(const char* symbol, double reference, double multiplier) {
    Instrument in;
    in.symbol = symbol;
    in.market = Market::Equity;
    in.multiplier = multiplier;
    in.reference = px_of(reference);
    in.ceiling = px_of(reference * 1.3);
    in.floor = px_of(reference * 0.7);
    in.book = std::make_shared<engine::Book>(kPxScale / 100, in.floor, in.ceiling);
    return in;
}

}  // namespace

int main() {
    std::vector<Instrument> instruments{instrument("AAA", 100, 1), instrument("BBB", 10, 200)};
    Sink sink;
    MarketData md(instruments, sink);
    md.add_instrument();
    md.add_instrument();
    const Px p100 = px_of(100), p101 = px_of(101), p99 = px_of(99);

    // Minute candles: a print at :59 and one at the next minute's :00 are
    // two candles; before 1970 the minute is the one that began earlier.
    check::context = "minutes";
    md.print(0, p100, 10, -61);
    md.print(0, p101, 5, -60);
    md.print(0, p99, 1, -1);
    md.print(0, p100, 2, 0);
    {
        const std::vector<Candle>& c = md.candles(0);
        CHECK_EQ(c.size(), 3u);
        CHECK_EQ(c[0].t, -120);
        CHECK_EQ(c[1].t, -60);
        CHECK_EQ(c[1].open, p101);
        CHECK_EQ(c[1].low, p99);
        CHECK_EQ(c[1].close, p99);
        CHECK_EQ(c[1].volume, 6);
        CHECK_EQ(c[1].seq, 3u);
        CHECK_EQ(c[2].t, 0);
    }
    // Across a day: 1d candles split at midnight, the week's goes on
    // (1970-01-01 was a Thursday: its week opened Monday 1969-12-29).
    check::context = "days";
    md.print(0, p101, 3, 86399);
    md.print(0, p99, 4, 86400);
    {
        const std::vector<Candle> days = aggregate(md.candles(0), *find_interval("1d"));
        CHECK_EQ(days.size(), 3u);
        CHECK_EQ(days[0].t, -86400);
        CHECK_EQ(days[1].t, 0);
        CHECK_EQ(days[1].volume, 5);
        CHECK_EQ(days[1].open, p100);
        CHECK_EQ(days[1].close, p101);
        CHECK_EQ(days[2].t, 86400);
        const std::vector<Candle> weeks = aggregate(md.candles(0), *find_interval("1W"));
        CHECK_EQ(weeks.size(), 1u);
        CHECK_EQ(weeks[0].t, -3 * 86400);
        CHECK_EQ(weeks[0].volume, 25);
        CHECK_EQ(weeks[0].high, p101);
        CHECK_EQ(weeks[0].seq, 6u);
        CHECK(find_interval("2m") == nullptr && find_interval(nullptr) == nullptr);
    }
    // The day's figures: value by the multiplier; a day's start clears them
    // once, and leaves candles, the tape and its numbering alone.
    check::context = "day start";
    md.print(1, px_of(10.5), 2, 100);
    {
        const DayFigures& d = md.day(1);
        CHECK_EQ(d.last, px_of(10.5));
        CHECK(d.value == 10.5 * 2 * 200);
        CHECK_EQ(d.last_seq, 7u);
        CHECK_EQ(md.mark(1), px_of(10.5));
    }
    const DayFigures before = md.day(0);
    CHECK_EQ(before.open, p100);
    CHECK_EQ(before.volume, 25);
    md.start_day(1);
    CHECK_EQ(md.day(1).last, 0);
    CHECK_EQ(md.day(1).volume, 0);
    CHECK_EQ(md.mark(1), instruments[1].reference);
    CHECK_EQ(md.day(0).volume, before.volume);  // the other instrument's day goes on
    CHECK_EQ(md.candles(1).size(), 1u);
    CHECK_EQ(md.tape().size(), 7u);
    md.print(1, px_of(10), 1, 200);
    CHECK_EQ(md.day(1).open, px_of(10));
    CHECK_EQ(md.day(1).high, px_of(10));
    CHECK_EQ(md.day(1).volume, 1);
    CHECK_EQ(md.tape_seq(), 8u);

    // Nothing was watched: nothing was noted.
    CHECK(sink.notes.empty());

    // Watchers: price information and candles of a print, only for the
    // symbol watched; the candle's picture is the interval's candle as it
    // stood at the print, whenever it is made.
    check::context = "watchers";
    sink.watching = {{Topic::Info, "AAA"}, {Topic::Candle, "AAA"}, {Topic::BidOffer, "AAA"}};
    md.print(0, p101, 7, 86401);
    md.print(1, px_of(10), 1, 300);
    CHECK_EQ(sink.count(Topic::Info), 1u);
    CHECK_EQ(sink.count(Topic::Candle), 1u);
    md.print(0, p100, 1, 86402);  // changes the candle after the note
    {
        const std::string info = sink.notes[0].make("");
        CHECK(has(info, "\"symbol\":\"AAA\"") && has(info, "\"last\":101") && has(info, "\"total_volume\":32"));
        const std::string candle = sink.notes[1].make("1d");
        CHECK(has(candle, "\"interval\":\"1d\"") && has(candle, "\"time\":86400") && has(candle, "\"volume\":11"));
        CHECK(has(candle, "\"close\":101,"));
        CHECK(sink.notes[1].make("7m").empty());
    }
    // A restart forgets the instrument's candles (a pending candle picture
    // still makes itself), figures and prints on the tape, not the others'.
    check::context = "restart";
    md.restart(0, 100);
    CHECK(md.candles(0).empty() && md.candles(0).capacity() >= 100);
    CHECK_EQ(md.day(0).volume, 0);
    CHECK_EQ(md.tape().size(), 3u);
    for (const Print& p : md.tape()) CHECK_EQ(p.inst, 1);
    CHECK(!sink.notes[1].make("1m").empty());

    // The book: one picture per change a watcher can see; a quiet change
    // (a requote) is one picture at its end; a new operation starts afresh.
    check::context = "book";
    sink.notes.clear();
    md.book_changed(0, 1000);
    md.book_changed(0, 1000);  // nothing visible changed
    CHECK_EQ(sink.count(Topic::BidOffer), 1u);
    {
        const MarketData::Quiet quiet(md, 0, 1000);
        instruments[0].book->add(
            engine::BookOrder{1, engine::Side::Buy, engine::PriceType::Limit, engine::Validity::Day, p99, 100, 0});
        md.book_changed(0, 1000);
        instruments[0].book->add(
            engine::BookOrder{2, engine::Side::Sell, engine::PriceType::Limit, engine::Validity::Day, p101, 50, 0});
        md.book_changed(0, 1000);
        CHECK_EQ(sink.count(Topic::BidOffer), 1u);
    }
    CHECK_EQ(sink.count(Topic::BidOffer), 2u);
    const std::string book = sink.notes.back().make("");
    CHECK(has(book, "\"bid_price\":[99]") && has(book, "\"ask_volume\":[50]"));
    // A replay's quote shows beside the book's orders, merged at a shared price.
    md.show_quote(0, p99, 30, px_of(102), 20, 1000);
    const std::string shown = sink.notes.back().make("");
    CHECK(has(shown, "\"bid_price\":[99],\"bid_volume\":[130]"));
    CHECK(has(shown, "\"ask_price\":[101,102],\"ask_volume\":[50,20]"));
    CHECK_EQ(md.best_ask(0), p101);
    md.show_quote(0, p99, 30, px_of(102), 20, 1000);  // the same picture: no event
    CHECK_EQ(sink.count(Topic::BidOffer), 3u);
    md.flushed();
    md.book_changed(0, 1000);
    CHECK_EQ(sink.count(Topic::BidOffer), 4u);
    sink.watching.clear();
    md.book_changed(0, 2000);
    CHECK_EQ(sink.count(Topic::BidOffer), 4u);
    CHECK(md.current_picture(Topic::Info, 0, 2000).find("\"symbol\":\"AAA\"") != std::string::npos);
    CHECK(md.current_picture(Topic::Candle, 0, 2000).empty());
    CHECK_DONE();
}
