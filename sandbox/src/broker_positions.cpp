// Portfolios and trades of one account, from the broker's state.
#include <mutex>

#include "broker.h"
#include "broker_state.h"

namespace tvx::sandbox {
namespace {

template <class Item, class Accounts>
RecordList<Item> account_list(int op, Cfg cfg, text account_no, Role role, const Accounts& accounts,
                              const std::map<std::string, std::vector<Item>>& lists, const char* what) {
    Arena arena(op);
    BrokerState& b = broker();
    std::lock_guard<std::mutex> g(b.lock);
    RecordList<Item> r{};
    const User* u = b.session(cfg);
    if (refuse_session(r, u, role)) return r;
    auto account = account_no ? accounts.find(account_no) : accounts.end();
    // Someone else's account is as unknown to an investor as a missing one.
    if (account == accounts.end() || !b.may_see(*u, account->second.owner))
        return refusal<RecordList<Item>>(
            404, arena.keep(std::string(what) + " account not found: " + (account_no ? account_no : "")));
    r.success = 1;
    r.status_code = 200;
    if (auto found = lists.find(account_no); found != lists.end()) {
        r.items = arena.keep(found->second);
        r.count = static_cast<std::int64_t>(found->second.size());
    }
    return r;
}

}  // namespace

#define TVX_ACCOUNT_LIST(n, Item, role, accounts, lists)                                         \
    RecordList<Item> Broker<n, RecordList<Item>>::call(Cfg cfg, text account_no) {                 \
        return account_list(n, cfg, account_no, role, broker().accounts, broker().lists, #accounts); \
    }
TVX_ACCOUNT_LIST(17, DerivativesPosition, Role::Investor, derivatives, derivatives_positions)
TVX_ACCOUNT_LIST(28, DerivativesPosition, Role::MarketRep, derivatives, derivatives_positions)
TVX_ACCOUNT_LIST(18, DerivativesTrade, Role::Investor, derivatives, derivatives_trades)
TVX_ACCOUNT_LIST(29, DerivativesTrade, Role::MarketRep, derivatives, derivatives_trades)
TVX_ACCOUNT_LIST(22, EquityPosition, Role::Investor, equity, equity_positions)
TVX_ACCOUNT_LIST(34, EquityPosition, Role::MarketRep, equity, equity_positions)
TVX_ACCOUNT_LIST(23, EquityTrade, Role::Investor, equity, equity_trades)
TVX_ACCOUNT_LIST(35, EquityTrade, Role::MarketRep, equity, equity_trades)
#undef TVX_ACCOUNT_LIST

}  // namespace tvx::sandbox
