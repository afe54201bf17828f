#include "registry.h"

#include <mutex>
#include <string>
#include <unordered_map>

namespace tvx::realtime {
namespace {

struct PayloadCache {
    std::mutex lock;
    std::unordered_map<std::string, std::string> payloads;
};

PayloadCache& cache() {
    static PayloadCache* c = new PayloadCache;  // event threads may outlive static destruction
    return *c;
}

}  // namespace

void clear_payload_cache() {
    PayloadCache& c = cache();
    std::lock_guard<std::mutex> g(c.lock);
    c.payloads.clear();
}

}  // namespace tvx::realtime
