#pragma once
#include <cstddef>
#include <string_view>

namespace tvx::core {

// Texts handed to the library. The library may keep any pointer it was given,
// so copies are never released; interning them keeps memory bounded by the
// number of distinct texts instead of the number of calls.
// The copy holds the bytes up to the first NUL.
const char* text_copy(std::string_view bytes);

std::size_t text_pool_size();

}  // namespace tvx::core
