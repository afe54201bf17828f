// The order store: records, their indexes and the number series.
#include "order_store.h"

#include <algorithm>
#include <cstdio>

namespace tvx::sandbox {

namespace {
std::string padded(const char* prefix, std::uint64_t n, int width) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%0*llu", prefix, width, static_cast<unsigned long long>(n));
    return buf;
}
}  // namespace

bool OrderStore::NoCase::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower_ascii(x) < lower_ascii(y); });
}

std::int32_t OrderStore::take_derivatives_number() { return next_dno_ == INT32_MAX ? 0 : next_dno_++; }
std::string OrderStore::take_equity_number() { return padded("EQ", next_eno_++, 8); }
std::string OrderStore::take_exchange_number(Market m) {
    return padded(m == Market::Derivatives ? naming::kDerivativesExchange : naming::kEquityExchange,
                  next_exchange_no_++, 9);
}
std::string OrderStore::take_deal_number() { return padded("DL", next_deal_++, 8); }
std::string OrderStore::take_trade_number() { return padded("TR", next_trade_++, 8); }

int OrderStore::add(Order o) {
    const int i = static_cast<int>(orders_.size());
    if (o.market == Market::Derivatives)
        derivatives_[o.dno] = i;
    else
        equity_[o.eno] = i;
    by_account_[o.account].push_back(i);
    orders_.push_back(std::move(o));
    return i;
}

int OrderStore::find_derivatives(std::int32_t no) const {
    auto it = derivatives_.find(no);
    return it == derivatives_.end() ? -1 : it->second;
}

int OrderStore::find_equity(const char* no) const {
    if (!no) return -1;
    auto it = equity_.find(no);
    return it == equity_.end() ? -1 : it->second;
}

const std::vector<int>* OrderStore::of_account(const std::string& account) const {
    auto it = by_account_.find(account);
    return it == by_account_.end() ? nullptr : &it->second;
}

void OrderStore::move(int i, const std::string& to) {
    Order& o = orders_[static_cast<std::size_t>(i)];
    if (o.account == to) return;
    auto& mine = by_account_[o.account];
    mine.erase(std::remove(mine.begin(), mine.end(), i), mine.end());
    auto& theirs = by_account_[to];
    theirs.insert(std::upper_bound(theirs.begin(), theirs.end(), i), i);
    o.account = to;
}

void OrderStore::new_day() {
    by_account_.clear();
    std::size_t first = orders_.size();
    for (std::size_t i = day_first_; i < orders_.size(); ++i)
        if (orders_[i].active()) {
            first = std::min(first, i);
            by_account_[orders_[i].account].push_back(static_cast<int>(i));
        }
    day_first_ = first;
}

void OrderStore::add_fill(Fill f) {
    fills_by_account_[f.account].push_back(fills_.size());
    fills_.push_back(std::move(f));
}

const std::vector<std::size_t>* OrderStore::fills_of(const std::string& account) const {
    auto it = fills_by_account_.find(account);
    return it == fills_by_account_.end() ? nullptr : &it->second;
}

// ------------------------------------------------------------------ texts
std::string status_text(Status s) {
    switch (s) {
        case Status::Pending:
            return "PENDING";
        case Status::Open:
            return "OPEN";
        case Status::Partial:
            return "PARTIAL";
        case Status::Matched:
            return "MATCHED";
        case Status::Cancelled:
            return "CANCELLED";
        case Status::Expired:
            return "EXPIRED";
        case Status::Rejected:
            return "REJECTED";
    }
    return "";
}

const char* side_text(const Order& o) {
    if (o.market == Market::Derivatives) return o.side == Side::Buy ? "LONG" : "SHORT";
    return o.side == Side::Buy ? "BUY" : "SELL";
}

}  // namespace tvx::sandbox
