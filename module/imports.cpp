// The module's import table: every operation of the library, bound at load
// time whether or not a function uses it yet, so a library that lacks one is
// refused when the module loads, not in the middle of a trading day.
#include "../backend/operations.h"

namespace {
#define TVX_IMPORT_ENTRY(n, R, name, params, args) reinterpret_cast<const void*>(&tvx::wire::TavrolixInterfacePY_##n),
#if defined(__GNUC__)
[[gnu::used]]
#endif
const void* const import_table[] = {TVX_OPERATIONS(TVX_IMPORT_ENTRY)};
#undef TVX_IMPORT_ENTRY
static_assert(sizeof(import_table) / sizeof(import_table[0]) == 47);
}  // namespace
