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
template <Op N>
struct Broker;

// Texts and item arrays of a broker result. The module reads them while it
// converts the result, and that conversion may run Python code (a collector's
// __del__) that calls the library again on the same thread. So a result lives
// until a later call on its thread starts at the same stack depth or
// shallower: then the conversion of the earlier call has finished. A nested
// call starts deeper and leaves it alone. What a thread keeps is one result
// per level of such nesting.
class Arena {
   public:
    // The operation's entry position (see enter_operation) decides which
    // earlier results are released.
    Arena();
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

    struct Frame;

   private:
    const void* keep_bytes(const void* bytes, std::size_t size);
    Frame* frame_;
};

// Notes where on the calling thread's stack the current operation entered.
void enter_operation(std::uintptr_t stack_position);
// Results the calling thread still keeps (for tests of the rule above).
std::size_t kept_results();

using namespace wire;

#define TVX_DECLARE_BROKER(n, R, name, params, args) \
    template <>                                      \
    struct Broker<Op::name> {                        \
        static R call params;                        \
    };
TVX_OPERATIONS(TVX_DECLARE_BROKER)
#undef TVX_DECLARE_BROKER

}  // namespace tvx::sandbox
