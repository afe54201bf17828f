// Memory that tests lay out for scripted results and events: blobs end to
// end, with relocations that make pointers from one blob into another.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tvx::sandbox {

// Relocation target meaning "the key handed to the subscribe operation".
inline constexpr std::int64_t kHandedKey = -2;

using Blobs = std::vector<std::unique_ptr<unsigned char[]>>;

// Copies the `nblobs` blobs of `data` into the empty `blobs`, then applies the
// quadruples (blob, offset, target blob or -1 for null, addend) of `relocs`:
// the address of the target blob plus the addend goes at that offset of that
// blob. Given `handed_key_at`, blob 0 may also target kHandedKey, whose offsets
// land there. False for a bad relocation.
bool build_blobs(const unsigned char* data, const std::uint64_t* sizes, std::uint64_t nblobs,
                 const std::int64_t* relocs, std::uint64_t nrelocs, Blobs& blobs,
                 std::vector<std::size_t>* handed_key_at = nullptr);

}  // namespace tvx::sandbox
