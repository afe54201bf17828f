// Internals of our Trading interface library.
#pragma once
#include <cstdint>
#include <algorithm>
#include <string>
#include <type_traits>

#include "../../backend/operations.h"

#include "platform.h"

namespace tvx::sandbox {

enum class Mode : int { Broker = 0, Scripted = 1 };

// The operations by name, from the operation table: Op::login is 13.
#define TVX_OP_ENUM(n, R, name, params, args) name = n,
enum class Op : int { TVX_OPERATIONS(TVX_OP_ENUM) };
#undef TVX_OP_ENUM
#define TVX_OP_MAX(n, R, name, params, args) n,
inline constexpr int kLastOp = std::max({TVX_OPERATIONS(TVX_OP_MAX) 0});
#undef TVX_OP_MAX
Mode mode();

// --- scripted results --------------------------------------------------------
// Copies the next queued (or the standing) result image of operation `op` into
// `out`; false when none is queued.
bool take_scripted(int op, void* out, std::size_t size);

// --- call log ------------------------------------------------------------------
bool recording();
void log_call(int op, std::string args_json);

// --- result helpers --------------------------------------------------------------
template <class R>
void set_failure(R& r, const char* text) {
    if constexpr (requires { r.internal_error; })
        r.internal_error = text;
    else
        r.error = text;
}

// A refusal in whatever form the result record has.
template <class R>
R refusal(std::int32_t status, const char* message) {
    R r{};
    if constexpr (requires { r.status_code; }) r.status_code = status;
    if constexpr (requires { r.message; })
        r.message = message;
    else if constexpr (requires { r.error; })
        r.error = message;
    return r;
}

inline constexpr const char* kNotSupported = "not supported by the sandbox yet";

}  // namespace tvx::sandbox

namespace tvx::sandbox {
void count_call(int op);
}
