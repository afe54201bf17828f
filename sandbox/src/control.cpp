// Scripted mode and the control surface that tests (through the Python
// control package) drive: queued result images, the call log, the mode.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "blobs.h"
#include "faults.h"
#include "events.h"
#include "json.h"
#include "sandbox.h"

namespace tvx::sandbox {
namespace {

// Indexed by ordinal, sized from the operation table itself.
constexpr int kOps = kLastOp + 1;

constexpr std::size_t result_size(int op) {
    using namespace wire;
#define TVX_SIZE_CASE(n, R, name, params, args) \
    case n:                                     \
        return sizeof(R);
    switch (op) { TVX_OPERATIONS(TVX_SIZE_CASE) }
#undef TVX_SIZE_CASE
    return 0;
}

struct OpScript {
    std::deque<ImagePtr> queue;
    ImagePtr standing;
    // Served results stay readable well past the next call of the operation.
    std::deque<ImagePtr> served;
};

struct Call {
    std::uint64_t seq;
    int op;
    std::string args;
};

struct ScriptState {
    std::mutex lock;
    OpScript scripts[kOps];
    std::deque<Call> calls;
    std::uint64_t seq = 0;
    std::atomic<std::uint64_t> counts[kOps] = {};
};

ScriptState& script_state() {
    fault::point();
    static ScriptState* s = new ScriptState;  // outlives static destruction: library threads may still call in
    return *s;
}

std::atomic<int> g_mode{static_cast<int>(Mode::Broker)};
std::atomic<bool> g_recording{true};
constexpr std::size_t kMaxCalls = 20000;
constexpr std::size_t kMaxServed = 256;

}  // namespace

Mode mode() { return static_cast<Mode>(g_mode.load(std::memory_order_relaxed)); }
bool recording() { return g_recording.load(std::memory_order_relaxed); }

void count_call(int op) { script_state().counts[op].fetch_add(1, std::memory_order_relaxed); }

bool take_scripted(int op, void* out, std::size_t size) {
    ScriptState& s = script_state();
    std::lock_guard<std::mutex> g(s.lock);
    OpScript& o = s.scripts[op];
    ImagePtr p;
    if (!o.queue.empty()) {
        p = std::move(o.queue.front());
        o.queue.pop_front();
        o.served.push_back(p);
        if (o.served.size() > kMaxServed) o.served.pop_front();
    } else {
        p = o.standing;
    }
    if (!p) return false;
    assert(p->size == size);  // tvx_script_push takes only images of result_size(op)
    std::memcpy(out, p->blobs[0].get(), size);
    return true;
}

void log_call(int op, std::string args) {
    ScriptState& s = script_state();
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.push_back(Call{++s.seq, op, std::move(args)});
    if (s.calls.size() > kMaxCalls) s.calls.pop_front();
}

}  // namespace tvx::sandbox

using namespace tvx::sandbox;

TVX_EXPORT void tvx_sandbox_set_mode(int m) { g_mode.store(m == 1 ? 1 : 0); }
TVX_EXPORT int tvx_sandbox_mode() { return static_cast<int>(mode()); }
TVX_EXPORT void tvx_sandbox_set_recording(int on) { g_recording.store(on != 0); }

// Forgets every queued and standing result and the call log.
// Null, or what went wrong.
TVX_EXPORT const char* tvx_sandbox_reset() {
    try {
        reset_events();
        ScriptState& s = script_state();
        std::lock_guard<std::mutex> g(s.lock);
        for (auto& o : s.scripts) {
            o.queue.clear();
            o.standing.reset();
            o.served.clear();
        }
        s.calls.clear();
        return nullptr;
    } catch (...) {
        return "the library failed inside (out of memory?)";
    }
}

// Queues the result of the next call of `op` (or, with `standing`, the result
// of every call once the queue is empty). `data` holds `nblobs` blobs end to
// end, blob 0 being the result image; `relocs` holds quadruples (blob, offset,
// target blob or -1 for null, addend): the address of the target blob plus the
// addend is written at that offset of that blob.
// Returns 0, or -1 unknown operation, -2 wrong image size, -3 bad relocation,
// -4 the library failed inside (out of memory).
TVX_EXPORT int tvx_script_push(int op, int standing, const unsigned char* data, const std::uint64_t* sizes,
                               std::uint64_t nblobs, const std::int64_t* relocs, std::uint64_t nrelocs) try {
    if (op < 1 || op >= kOps || result_size(op) == 0) return -1;
    if (nblobs == 0 || sizes[0] != result_size(op)) return -2;
    ImagePtr p = make_image(data, sizes, nblobs, relocs, nrelocs, false);
    if (!p) return -3;
    ScriptState& s = script_state();
    std::lock_guard<std::mutex> g(s.lock);
    if (standing)
        s.scripts[op].standing = std::move(p);
    else
        s.scripts[op].queue.push_back(std::move(p));
    return 0;
} catch (...) {
    return -4;
}

// The number of calls of `op`; 0 when it cannot be told.
TVX_EXPORT std::uint64_t tvx_call_count(int op) try {
    return op >= 0 && op < kOps ? script_state().counts[op].load() : 0;
} catch (...) {
    return 0;
}

TVX_EXPORT const char* tvx_calls_clear() try {
    ScriptState& s = script_state();
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.clear();
    return nullptr;
} catch (...) {
    return "the library failed inside (out of memory?)";
}

// The call log (every logged call, or those of `op` when op > 0) as JSON,
// valid until this thread calls again; {"error": ...} when it cannot be made.
TVX_EXPORT const char* tvx_calls_json(int op) try {
    thread_local std::string out;
    ScriptState& s = script_state();
    std::lock_guard<std::mutex> g(s.lock);
    json::Writer w;
    w.begin_array();
    for (const Call& c : s.calls)
        if (op <= 0 || c.op == op)
            w.begin_object().field("seq", c.seq).field("op", c.op).key("args").raw(c.args).end_object();
    out = w.end_array().take();
    return out.c_str();
} catch (...) {
    return "{\"error\": \"the library failed inside (out of memory?)\"}";
}
