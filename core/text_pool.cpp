#include "text_pool.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

namespace tvx::core {
namespace {

struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct Pool {
    std::mutex lock;
    // Node-based: an element's bytes never move once inserted.
    std::unordered_set<std::string, Hash, std::equal_to<>> texts;
};

Pool& pool() {
    // Leaked on purpose: the library may still read these texts during exit.
    static Pool* p = new Pool;
    return *p;
}

}  // namespace

const char* text_copy(std::string_view bytes) {
    const auto nul = bytes.find('\0');
    if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    Pool& p = pool();
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.texts.find(bytes);
    if (it == p.texts.end()) it = p.texts.emplace(bytes).first;
    return it->c_str();
}

std::size_t text_pool_size() {
    Pool& p = pool();
    std::lock_guard<std::mutex> g(p.lock);
    return p.texts.size();
}

}  // namespace tvx::core
