#include "broker.h"

#include <array>
#include <map>
#include <mutex>
#include <vector>

namespace tvx::sandbox {

Arena::Arena(int op) {
    thread_local std::array<std::deque<std::string>, 49> arenas;
    texts_ = &arenas[op];
    texts_->clear();
}

const char* Arena::keep(std::string s) { return texts_->emplace_back(std::move(s)).c_str(); }

namespace {

enum class Role { Investor, MarketRep };

struct User {
    std::string id;
    std::string secret;
    Role role;
    std::string broker_id;
};

struct DerivativesAccountState {
    std::string owner;
    double cash_balance, credit_line, equity, excess_equity, total_mr, total_mm, call_force_margin;
    std::string call_force_flag;
};

struct EquityAccountState {
    std::string owner;
    std::string account_type, client_type, customer_type;
    double cash_balance, credit_limit, line_available, initial_cash_balance, initial_credit_limit;
    bool can_buy, can_sell;
};

struct BrokerState {
    std::mutex lock;
    std::vector<User> users;
    std::map<std::string, DerivativesAccountState> derivatives;
    std::map<std::string, EquityAccountState> equity;
    std::map<std::string, std::string> sessions;  // channel -> user id
    int next_channel = 1;

    BrokerState() {
        users = {
            {"inv001", "inv001-secret", Role::Investor, "TVX"},
            {"inv002", "inv002-secret", Role::Investor, "TVX"},
            {"mkt001", "mkt001-secret", Role::MarketRep, "TVX"},
        };
        derivatives["D-1001"] = {"inv001", 500000, 200000, 500000, 450000, 50000, 35000, 0, "N"};
        derivatives["D-2001"] = {"inv002", 120000, 0, 120000, 110000, 10000, 7000, 0, "N"};
        equity["E-1001"] = {"inv001", "CASH", "I", "INDIVIDUAL", 1000000, 0, 1000000, 1000000, 0, true, true};
        equity["E-1002"] = {"inv001", "CREDIT_BALANCE", "I", "INDIVIDUAL", 800000, 1600000, 1600000, 800000,
                            1600000, true, true};
        equity["E-2001"] = {"inv002", "CASH_BALANCE", "I", "INDIVIDUAL", 250000, 0, 250000, 250000, 0, true, true};
    }

    const User* user(const std::string& id) {
        for (const User& u : users)
            if (u.id == id) return &u;
        return nullptr;
    }
    const User* session(Cfg cfg) {
        if (!cfg || !cfg->channel_id) return nullptr;
        auto it = sessions.find(cfg->channel_id);
        return it == sessions.end() ? nullptr : user(it->second);
    }
    // Investors see their own accounts; market representatives every account of their broker.
    bool may_see(const User& u, const std::string& owner) {
        if (u.role == Role::Investor) return u.id == owner;
        const User* o = user(owner);
        return o && o->broker_id == u.broker_id;
    }
};

BrokerState& broker() {
    static BrokerState* b = new BrokerState;
    return *b;
}

template <class R>
bool refuse_session(R& r, const User* u, Role role) {
    if (!u) {
        r = refusal<R>(401, "not logged in: unknown channel");
        return true;
    }
    if (u->role != role) {
        r = refusal<R>(403, role == Role::Investor ? "investor function called by a market representative"
                                                   : "market representative function called by an investor");
        return true;
    }
    return false;
}

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
