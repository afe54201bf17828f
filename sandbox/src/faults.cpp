#include "faults.h"

#include <atomic>
#include <new>

#include "platform.h"

namespace tvx::sandbox::fault {
namespace {
std::atomic<bool> g_on{false};
}

void set(bool on) { g_on.store(on, std::memory_order_relaxed); }

void point() {
    if (g_on.load(std::memory_order_relaxed)) throw std::bad_alloc();
}

}  // namespace tvx::sandbox::fault

// Switches fault injection on (1) or off (0).
TVX_EXPORT void tvx_fault_inject(int on) { tvx::sandbox::fault::set(on != 0); }
