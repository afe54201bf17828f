// The order store alone: number series, lookups by number (equity numbers
// without regard to case) and by account, an order moved between accounts
// keeping its place in time, the day's lists starting over with what is still
// active, fills by account, and records that stay put as the store grows.
#include <string>
#include <vector>

#include "../../sandbox/src/order_store.h"
#include "check.h"

using namespace tvx::sandbox;

namespace {

Order order(Market m, const std::string& account, Status s = Status::Open) {
    Order o{};
    o.market = m;
    o.account = account;
    o.inst = 0;
    o.side = Side::Buy;
    o.type = PriceType::Limit;
    o.validity = Validity::Day;
    o.qty = 100;
    o.status = s;
    return o;
}

int add(OrderStore& store, Market m, const std::string& account, Status s = Status::Open) {
    Order o = order(m, account, s);
    if (m == Market::Derivatives)
        o.dno = store.take_derivatives_number();
    else
        o.eno = store.take_equity_number();
    return store.add(std::move(o));
}

void numbers_and_lookups() {
    check::context = "numbers";
    OrderStore s;
    CHECK(s.take_equity_number() == "EQ00000001" && s.take_equity_number() == "EQ00000002");
    CHECK(s.take_derivatives_number() == 1000001 && s.take_derivatives_number() == 1000002);
    // One exchange series for both markets, each with its prefix.
    CHECK(s.take_exchange_number(Market::Derivatives) == "DX000000001" &&
          s.take_exchange_number(Market::Equity) == "EX000000002");
    CHECK(s.take_deal_number() == "DL00000001" && s.take_trade_number() == "TR00000001" &&
          s.take_trade_number() == "TR00000002" && s.take_deal_number() == "DL00000002");
    CHECK(s.derivatives_numbers_left() == INT32_MAX - 1000003);

    check::context = "lookups";
    const int e = add(s, Market::Equity, "E-1"), d = add(s, Market::Derivatives, "D-1");
    CHECK(e == 0 && d == 1 && s.size() == 2);
    CHECK(s.find_equity("EQ00000003") == e && s.find_equity("eq00000003") == e && s.find_equity("EQ3") == -1);
    CHECK(s.find_equity(nullptr) == -1 && s.find_equity("") == -1);
    CHECK(s.find_derivatives(1000003) == d && s.find_derivatives(1000002) == -1 && s.find_derivatives(0) == -1);
    CHECK(s[e].number() == "EQ00000003" && s[d].number() == "1000003");

    // Records do not move as the store grows: the exchange holds them across calls.
    Order& first = s[e];
    for (int k = 0; k < 5000; ++k) add(s, Market::Equity, "E-" + std::to_string(k % 7));
    CHECK(&first == &s[e] && first.account == "E-1" && s.find_equity("EQ00005003") == 5001);
    int listed = 0;
    for (const Order& o : s) listed += o.market == Market::Equity;
    CHECK_EQ(listed, 5001);
}

void accounts_and_days() {
    check::context = "by account";
    OrderStore s;
    const int a0 = add(s, Market::Equity, "A"), b1 = add(s, Market::Equity, "B"), a2 = add(s, Market::Equity, "A"),
              b3 = add(s, Market::Equity, "B");
    CHECK((*s.of_account("A") == std::vector<int>{a0, a2}) && s.of_account("C") == nullptr);
    s.move(a2, "B");  // into its place in time among B's orders
    CHECK((*s.of_account("A") == std::vector<int>{a0}) && (*s.of_account("B") == std::vector<int>{b1, a2, b3}));
    CHECK(s[a2].account == "B" && s.find_equity(s[a2].eno.c_str()) == a2);
    s.move(b1, "B");  // to itself: nothing changes
    CHECK((*s.of_account("B") == std::vector<int>{b1, a2, b3}));

    check::context = "new day";
    CHECK(s.day_first() == 0);
    s[a0].status = Status::Matched;
    s[b1].status = Status::Cancelled;
    s[b3].status = Status::Pending;  // a stop still waiting is today's too
    s.new_day();
    CHECK(s.day_first() == static_cast<std::size_t>(a2) && s.of_account("A") == nullptr);
    CHECK((*s.of_account("B") == std::vector<int>{a2, b3}));
    const int c4 = add(s, Market::Derivatives, "C");
    CHECK((*s.of_account("C") == std::vector<int>{c4}));
    for (int i : {a2, b3, c4}) s[i].status = Status::Expired;
    s.new_day();  // nothing active: the day starts after every order
    CHECK(s.day_first() == s.size() && s.of_account("B") == nullptr && s.of_account("C") == nullptr);
    s.new_day();
    CHECK(s.day_first() == s.size());

    check::context = "fills";
    Fill f{};
    f.account = "A";
    f.order = a0;
    s.add_fill(f);
    f.account = "B";
    s.add_fill(f);
    f.account = "A";
    f.qty = 7;
    s.add_fill(f);
    CHECK((*s.fills_of("A") == std::vector<std::size_t>{0, 2}) && (*s.fills_of("B") == std::vector<std::size_t>{1}));
    CHECK(s.fills_of("C") == nullptr && s.fills().size() == 3 && s.fills()[2].qty == 7);
}

}  // namespace

int main() {
    numbers_and_lookups();
    accounts_and_days();
    CHECK_DONE();
}
