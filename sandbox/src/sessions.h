// Sessions: the users, the channels their logins open, and who may see what
// (an investor their own accounts, a market representative every account of
// their broker). Nothing here knows of orders or money.
#pragma once
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace tvx::sandbox {

enum class Role { Investor, MarketRep };

struct User {
    std::string id, secret, broker_id, pin;
    Role role;
};

class Sessions {
   public:
    // Adds the user, or replaces the one of the same id.
    void put(const User& u);
    const User* user(const std::string& id) const;
    // A new channel for the user whose id and secret match; "" when none does.
    std::string login(const char* id, const char* secret);
    // The user logged in on `channel`, or null.
    const User* of_channel(const char* channel) const;
    bool may_see(const User& u, const std::string& owner) const;
    const std::deque<User>& users() const { return users_; }
    // Channels begin with it: it names the world they belong to.
    void set_prefix(std::string prefix) { prefix_ = std::move(prefix); }

   private:
    std::deque<User> users_;  // addresses stay put as users are added
    std::map<std::string, std::size_t> by_id_;
    std::map<std::string, std::string> channels_;  // channel -> user id
    std::string prefix_ = "sbx-";
};

}  // namespace tvx::sandbox
