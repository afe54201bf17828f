// Broker mode: the simulated broker behind every operation.
#pragma once
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "sandbox.h"

namespace tvx::sandbox {

// Every operation has its specialization below.
template <int N, class R>
struct Broker;

// Texts and item arrays of a broker result live in the calling thread's arena
// for that operation until the same thread calls the operation again.
class Arena {
   public:
    explicit Arena(int op);
    const char* keep(std::string s);
    // Null for an empty text, so "no value" reaches the module as None.
    const char* keep_or_null(const std::string& s) { return s.empty() ? nullptr : keep(s); }
    // A copy of the records, end to end; null for none.
    template <class T>
    const T* keep(const std::vector<T>& items) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (items.empty()) return nullptr;
        return static_cast<const T*>(keep_bytes(items.data(), items.size() * sizeof(T)));
    }

   private:
    const void* keep_bytes(const void* bytes, std::size_t size);
    std::deque<std::string>* texts_;
    std::deque<std::unique_ptr<unsigned char[]>>* blocks_;
};

using namespace wire;

#define TVX_DECLARE_BROKER(n, R, name, params, args) \
    template <>                                      \
    struct Broker<n, R> {                            \
        static R call params;                        \
    };
TVX_OPERATIONS(TVX_DECLARE_BROKER)
#undef TVX_DECLARE_BROKER

}  // namespace tvx::sandbox

