// Broker mode: the simulated broker behind each operation. An operation the
// broker does not offer yet answers with a refusal.
#pragma once
#include <deque>
#include <string>

#include "sandbox.h"

namespace tvx::sandbox {

template <int N, class R>
struct Broker {
    template <class... A>
    static R call(A...) {
        return refusal<R>(501, kNotSupported);
    }
};

// Texts of a broker result live in the calling thread's arena for that
// operation until the same thread calls the operation again.
class Arena {
   public:
    explicit Arena(int op);
    const char* keep(std::string s);

   private:
    std::deque<std::string>* texts_;
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

}  // namespace tvx::sandbox

#include "broker_realtime.h"
