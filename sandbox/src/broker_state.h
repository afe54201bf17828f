// The simulated broker's state, shared by the broker's operation files.
#pragma once
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sandbox.h"

namespace tvx::sandbox {
using namespace wire;

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
    // Positions held and trades made, by account number, in the order they are
    // reported. Their texts point into `texts`.
    std::map<std::string, std::vector<DerivativesPosition>> derivatives_positions;
    std::map<std::string, std::vector<EquityPosition>> equity_positions;
    std::map<std::string, std::vector<DerivativesTrade>> derivatives_trades;
    std::map<std::string, std::vector<EquityTrade>> equity_trades;
    std::set<std::string> texts;  // node-based: a text never moves once kept
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

    // A text that stays valid for the life of the broker.
    const char* text(const std::string& s) { return texts.insert(s).first->c_str(); }

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

// The one broker of the process; every access holds its lock.
BrokerState& broker();

// Refuses an unknown channel (401) or a function of the other kind of user (403).
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

}  // namespace tvx::sandbox
