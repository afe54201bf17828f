#include "text_pool.h"

#include <cstring>
#include <mutex>
#include <string>

#include "string_map.h"

namespace tvx::core {
namespace {

struct Pool {
    std::mutex lock;
    // Node-based: an element's bytes never move once inserted.
    StringSet texts;
};

Pool& pool() {
    // Leaked on purpose: the library may still read these texts during exit.
    static Pool* p = new Pool;
    return *p;
}

const char* pooled(std::string_view bytes) {
    Pool& p = pool();
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.texts.find(bytes);
    if (it == p.texts.end()) it = p.texts.emplace(bytes).first;
    return it->c_str();
}

// A call copies the same few texts (channel, daemon type, account) again and
// again; the last ones a thread used are found by a byte compare, without the
// pool's lock or hash. Slots are replaced in turn, so they must outnumber the
// texts of the widest call (a placement copies eleven) or a repeated call
// never hits. Pool entries are never released, so the pointers kept here stay
// valid.
struct Recent {
    static constexpr unsigned kSlots = 16;
    const char* text[kSlots] = {};
    std::size_t size[kSlots] = {};
    unsigned next = 0;
};
thread_local Recent recent;

}  // namespace

const char* text_copy(std::string_view bytes) {
    const auto nul = bytes.find('\0');
    if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    Recent& r = recent;
    for (unsigned i = 0; i < Recent::kSlots; ++i)
        if (r.text[i] && r.size[i] == bytes.size() && std::memcmp(r.text[i], bytes.data(), bytes.size()) == 0)
            return r.text[i];
    const char* t = pooled(bytes);
    const unsigned slot = r.next++ % Recent::kSlots;
    r.text[slot] = t;
    r.size[slot] = bytes.size();
    return t;
}

std::size_t text_pool_size() {
    Pool& p = pool();
    std::lock_guard<std::mutex> g(p.lock);
    return p.texts.size();
}

}  // namespace tvx::core
