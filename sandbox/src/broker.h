// Broker mode: the simulated broker behind each operation. An operation the
// broker does not offer yet answers with a refusal.
#pragma once
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "sandbox.h"

namespace tvx::sandbox {

template <int N, class R>
struct Broker {
    template <class... A>
    static R call(A...) {
        return refusal<R>(501, kNotSupported);
    }
};

// Texts and item arrays of a broker result live in the calling thread's arena
// for that operation until the same thread calls the operation again.
class Arena {
   public:
    explicit Arena(int op);
    const char* keep(std::string s);
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

template <>
struct Broker<13, LoginResult> {
    static LoginResult call(text daemon_type, text a1, text a2, text a3, text a4, text version, text platform,
                            bool enable_queue, std::int32_t constant);
};

#define TVX_BROKER_ACCOUNT(n, R)                      \
    template <>                                       \
    struct Broker<n, R> {                             \
        static R call(Cfg cfg, text account_no);      \
    };
TVX_BROKER_ACCOUNT(14, DerivativesAccountResult)
TVX_BROKER_ACCOUNT(24, DerivativesAccountResult)
TVX_BROKER_ACCOUNT(19, EquityAccountResult)
TVX_BROKER_ACCOUNT(30, EquityAccountResult)
#undef TVX_BROKER_ACCOUNT

#define TVX_BROKER_ACCOUNT_LIST(n, Item)                       \
    template <>                                                \
    struct Broker<n, RecordList<Item>> {                       \
        static RecordList<Item> call(Cfg cfg, text account_no); \
    };
TVX_BROKER_ACCOUNT_LIST(17, DerivativesPosition)
TVX_BROKER_ACCOUNT_LIST(28, DerivativesPosition)
TVX_BROKER_ACCOUNT_LIST(22, EquityPosition)
TVX_BROKER_ACCOUNT_LIST(34, EquityPosition)
TVX_BROKER_ACCOUNT_LIST(18, DerivativesTrade)
TVX_BROKER_ACCOUNT_LIST(29, DerivativesTrade)
TVX_BROKER_ACCOUNT_LIST(23, EquityTrade)
TVX_BROKER_ACCOUNT_LIST(35, EquityTrade)
#undef TVX_BROKER_ACCOUNT_LIST

template <>
struct Broker<37, CandlestickResult> {
    static CandlestickResult call(Cfg cfg, const CandlestickRequest* request);
};

}  // namespace tvx::sandbox

#include "broker_realtime.h"
