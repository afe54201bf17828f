// Sessions: users, channels and visibility.
#include "sessions.h"

#include <atomic>
#include <cstdint>

namespace tvx::sandbox {

void Sessions::put(const User& u) {
    auto it = by_id_.find(u.id);
    if (it != by_id_.end()) {
        users_[it->second] = u;
        return;
    }
    by_id_[u.id] = users_.size();
    users_.push_back(u);
}

const User* Sessions::user(const std::string& id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : &users_[it->second];
}

std::string Sessions::login(const char* id, const char* secret) {
    const User* u = id ? user(id) : nullptr;
    if (!u || !secret || u->secret != secret) return "";
    // Numbered across the process, so a channel of an ended world never names one of its successor's.
    static std::atomic<std::uint64_t> next_channel{1};
    const std::string channel = prefix_ + u->id + "-" + std::to_string(next_channel.fetch_add(1));
    channels_[channel] = u->id;
    return channel;
}

const User* Sessions::of_channel(const char* channel) const {
    if (!channel) return nullptr;
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : user(it->second);
}

bool Sessions::may_see(const User& u, const std::string& owner) const {
    if (u.role == Role::Investor) return u.id == owner;
    const User* o = user(owner);
    return o && o->broker_id == u.broker_id;
}

}  // namespace tvx::sandbox
