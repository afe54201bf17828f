// What every broker operation shares: the arena for its result, the broker's
// lock, the caller's session, and the events it caused on the way out.
#pragma once
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "broker.h"
#include "broker_state.h"
#include "world.h"

namespace tvx::sandbox {

inline std::string str(text t) { return t ? t : ""; }

template <Market M>
using AccountOf = std::conditional_t<M == Market::Derivatives, DerivativesAccountState, EquityAccountState>;

// The world a channel belongs to; a channel of no living world is nobody's
// in an empty world that knows no one.
std::shared_ptr<World> world_of(const char* channel);

class Call {
   public:
    explicit Call(const char* channel) : w_(world_of(channel)), b(w_->market), guard_(w_->lock) {}
    explicit Call(Cfg cfg) : Call(cfg ? cfg->channel_id : nullptr) {}
    // An operation that names its world some other way (login).
    explicit Call(std::shared_ptr<World> w) : w_(std::move(w)), b(w_->market), guard_(w_->lock) {}
    ~Call() { b.flush(); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    std::shared_ptr<World> w_;

   public:
    Arena arena;
    BrokerState& b;
    const User* user = nullptr;

    template <class R>
    R refuse(std::int32_t status, const std::string& message) {
        return refusal<R>(status, arena.keep(message));
    }
    template <class R>
    R refuse(const Verdict& v) {
        return refuse<R>(v.status, v.message());
    }

    // The logged-in user of the channel, of the kind the operation is for.
    template <class R>
    bool admit(const char* channel, Role role, R& r) {
        user = b.session(channel);
        if (!user) {
            r = refusal<R>(401, "not logged in: unknown channel");
            return false;
        }
        if (user->role != role) {
            r = refusal<R>(403, role == Role::Investor ? "investor function called by a market representative"
                                                       : "market representative function called by an investor");
            return false;
        }
        return true;
    }
    template <class R>
    bool admit(Cfg cfg, Role role, R& r) {
        return admit(cfg ? cfg->channel_id : nullptr, role, r);
    }
    // Any logged-in user.
    template <class R>
    bool admit_any(const char* channel, R& r) {
        user = b.session(channel);
        if (!user) r = refusal<R>(401, "not logged in: unknown channel");
        return user != nullptr;
    }

    // An account the user may see; someone else's is as unknown as a missing one.
    DerivativesAccountState* derivatives_account(text no) {
        auto it = no ? b.derivatives.find(no) : b.derivatives.end();
        return it == b.derivatives.end() || !b.may_see(*user, it->second.owner) ? nullptr : &it->second;
    }
    EquityAccountState* equity_account(text no) {
        auto it = no ? b.equity.find(no) : b.equity.end();
        return it == b.equity.end() || !b.may_see(*user, it->second.owner) ? nullptr : &it->second;
    }
    template <Market M>
    AccountOf<M>* account(text no) {
        if constexpr (M == Market::Derivatives)
            return derivatives_account(no);
        else
            return equity_account(no);
    }
    template <class R>
    R no_account(const char* market, text no) {
        return refuse<R>(404, std::string(market) + " account not found: " + str(no));
    }
    // Investors confirm order actions with their PIN.
    template <class R>
    bool pin_ok(text pin, R& r) {
        if (user->role != Role::Investor || user->pin.empty() || str(pin) == user->pin) return true;
        r = refuse<R>(401, "WRONG_PIN: the PIN does not match");
        return false;
    }

    // The caller admitted and the account found, or null with the refusal in `r`.
    template <Market M, class R>
    AccountOf<M>* admit_account(Cfg cfg, Role role, text account_no, R& r) {
        return admit(cfg, role, r) ? found_account<M>(account_no, r) : nullptr;
    }
    // The same for an order action, whose PIN counts before the account.
    template <Market M, class R>
    AccountOf<M>* admit_account(Cfg cfg, Role role, text pin, text account_no, R& r) {
        return admit(cfg, role, r) && pin_ok(pin, r) ? found_account<M>(account_no, r) : nullptr;
    }

   private:
    template <Market M, class R>
    AccountOf<M>* found_account(text no, R& r) {
        AccountOf<M>* a = account<M>(no);
        if (!a) r = no_account<R>(M == Market::Derivatives ? "derivatives" : "equity", no);
        return a;
    }

    std::lock_guard<std::mutex> guard_;
};

// A success listing `items`.
template <class R>
R list_result(Call& c, const std::vector<typename std::remove_cv_t<std::remove_pointer_t<decltype(R::items)>>>& items) {
    R r{};
    r.success = 1;
    r.status_code = 200;
    r.items = c.arena.keep(items);
    r.count = static_cast<std::int64_t>(items.size());
    return r;
}

}  // namespace tvx::sandbox
