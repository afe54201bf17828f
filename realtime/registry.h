#pragma once

namespace tvx::realtime {

// Empties the payload cache; called by a successful login.
void clear_payload_cache();

}  // namespace tvx::realtime
