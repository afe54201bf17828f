#include "broker.h"

#include "broker_state.h"

#include <array>
#include <map>
#include <mutex>
#include <vector>

namespace tvx::sandbox {

Arena::Arena(int op) {
    thread_local std::array<std::deque<std::string>, 49> arenas;
    thread_local std::array<std::deque<std::unique_ptr<unsigned char[]>>, 49> block_arenas;
    texts_ = &arenas[op];
    texts_->clear();
    blocks_ = &block_arenas[op];
    blocks_->clear();
}

const char* Arena::keep(std::string s) { return texts_->emplace_back(std::move(s)).c_str(); }

const void* Arena::keep_bytes(const void* bytes, std::size_t size) {
    // new[] storage is aligned for any fundamental type, so records can live in it.
    unsigned char* block = blocks_->emplace_back(new unsigned char[size]).get();
    std::memcpy(block, bytes, size);
    return block;
}

BrokerState& broker() {
    static BrokerState* b = new BrokerState;
    return *b;
}

namespace {

DerivativesAccountResult derivatives_account(int op, Cfg cfg, text account_no, Role role) {
    Arena arena(op);
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    DerivativesAccountResult r{};
    if (refuse_session(r, b.session(cfg), role)) return r;
    auto it = account_no ? b.derivatives.find(account_no) : b.derivatives.end();
    if (it == b.derivatives.end() || !b.may_see(*b.session(cfg), it->second.owner))
        return refusal<DerivativesAccountResult>(
            404, arena.keep("derivatives account not found: " + std::string(account_no ? account_no : "")));
    const DerivativesAccountState& a = it->second;
    r.success = 1;
    r.status_code = 200;
    r.record = DerivativesAccount{a.credit_line, a.excess_equity, a.cash_balance, a.equity, a.total_mr,
                                  a.total_mm, arena.keep(a.call_force_flag), a.call_force_margin};
    return r;
}

EquityAccountResult equity_account(int op, Cfg cfg, text account_no, Role role) {
    Arena arena(op);
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    EquityAccountResult r{};
    if (refuse_session(r, b.session(cfg), role)) return r;
    auto it = account_no ? b.equity.find(account_no) : b.equity.end();
    if (it == b.equity.end() || !b.may_see(*b.session(cfg), it->second.owner))
        return refusal<EquityAccountResult>(
            404, arena.keep("equity account not found: " + std::string(account_no ? account_no : "")));
    const EquityAccountState& a = it->second;
    r.success = 1;
    r.status_code = 200;
    EquityAccount& e = r.record;
    e.account_type = arena.keep(a.account_type);
    e.client_type = arena.keep(a.client_type);
    e.customer_type = arena.keep(a.customer_type);
    e.mtm_realtime = arena.keep("N");
    e.cash_balance = a.cash_balance;
    e.actual_cash_balance = a.cash_balance;
    e.available_cash_balance = a.cash_balance;
    e.credit_limit = a.credit_limit;
    e.line_available = a.line_available;
    e.purchasing_power = a.line_available;
    e.initial_cash_balance = a.initial_cash_balance;
    e.initial_credit_limit = a.initial_credit_limit;
    e.initial_line_available = a.line_available;
    e.net_settlement_line = a.line_available;
    e.asset = a.cash_balance;
    e.equity_balance = a.cash_balance;
    e.excess_equity = a.cash_balance;
    e.can_buy = a.can_buy;
    e.can_sell = a.can_sell;
    e.credit_balance = a.account_type == "CREDIT_BALANCE";
    e.line_avail_50 = e.line_avail_60 = e.line_avail_70 = e.line_avail_80 = a.line_available;
    return r;
}

}  // namespace

LoginResult Broker<13, LoginResult>::call(text, text a1, text a2, text, text, text, text, bool, std::int32_t) {
    Arena arena(13);
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    LoginResult r{};
    const User* u = a1 ? b.user(a1) : nullptr;
    if (!u || !a2 || u->secret != a2) {
        r.message = "login refused: unknown application id or wrong secret";
        return r;
    }
    const std::string channel = "sbx-" + u->id + "-" + std::to_string(b.next_channel++);
    b.sessions[channel] = u->id;
    r.success = 1;
    r.channel_id = arena.keep(channel);
    r.message = "";
    return r;
}

DerivativesAccountResult Broker<14, DerivativesAccountResult>::call(Cfg cfg, text account_no) {
    return derivatives_account(14, cfg, account_no, Role::Investor);
}
DerivativesAccountResult Broker<24, DerivativesAccountResult>::call(Cfg cfg, text account_no) {
    return derivatives_account(24, cfg, account_no, Role::MarketRep);
}
EquityAccountResult Broker<19, EquityAccountResult>::call(Cfg cfg, text account_no) {
    return equity_account(19, cfg, account_no, Role::Investor);
}
EquityAccountResult Broker<30, EquityAccountResult>::call(Cfg cfg, text account_no) {
    return equity_account(30, cfg, account_no, Role::MarketRep);
}

}  // namespace tvx::sandbox
