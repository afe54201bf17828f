// Memory that tests lay out for scripted results and events: blobs end to
// end, with relocations that make pointers from one blob into another.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvx::sandbox {

// Relocation target meaning "the key handed to the subscribe operation".
inline constexpr std::int64_t kHandedKey = -2;

using Blobs = std::vector<std::unique_ptr<unsigned char[]>>;

// Blob 0 is the record (`size` bytes); the others are what its pointers (and
// their pointers) lead to. Blobs never move once made.
struct Image {
    Blobs blobs;
    std::size_t size = 0;
    std::vector<std::size_t> handed_key_at;  // offsets in blob 0
};
using ImagePtr = std::shared_ptr<const Image>;

// Copies the `nblobs` (at least one) blobs of `data`, then applies the
// quadruples (blob, offset, target blob or -1 for null, addend) of `relocs`:
// the address of the target blob plus the addend goes at that offset of that
// blob. With `handed_key_allowed`, blob 0 may also target kHandedKey, whose
// offsets land in handed_key_at. Null for a bad relocation.
ImagePtr make_image(const unsigned char* data, const std::uint64_t* sizes, std::uint64_t nblobs,
                    const std::int64_t* relocs, std::uint64_t nrelocs, bool handed_key_allowed);

inline void append_hex(std::string& out, const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
}

inline std::string hex(const std::string& s) {
    std::string out;
    append_hex(out, reinterpret_cast<const unsigned char*>(s.data()), s.size());
    return out;
}

}  // namespace tvx::sandbox
