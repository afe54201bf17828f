// Hash containers keyed by std::string that are searched with a string_view,
// so a lookup builds no string.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tvx::core {

struct TransparentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, TransparentHash, std::equal_to<>>;
using StringSet = std::unordered_set<std::string, TransparentHash, std::equal_to<>>;

}  // namespace tvx::core
