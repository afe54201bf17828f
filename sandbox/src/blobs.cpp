// Images that tests lay out (see blobs.h): copying the blobs and applying
// their pointer relocations.
#include "blobs.h"

#include "faults.h"

#include <cstring>

namespace tvx::sandbox {

ImagePtr make_image(const unsigned char* data, const std::uint64_t* sizes, std::uint64_t nblobs,
                    const std::int64_t* relocs, std::uint64_t nrelocs, bool handed_key_allowed) {
    fault::point();
    auto img = std::make_shared<Image>();
    img->size = sizes[0];
    Blobs& blobs = img->blobs;
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < nblobs; ++i) {
        // One spare zero byte so a text blob is terminated even if its maker forgot.
        auto b = std::make_unique<unsigned char[]>(sizes[i] + 1);
        std::memcpy(b.get(), data + at, sizes[i]);
        b[sizes[i]] = 0;
        at += sizes[i];
        blobs.push_back(std::move(b));
    }
    const std::int64_t lowest_target = handed_key_allowed ? kHandedKey : -1;
    for (std::uint64_t r = 0; r < nrelocs; ++r) {
        const std::int64_t blob = relocs[4 * r], off = relocs[4 * r + 1], target = relocs[4 * r + 2],
                           addend = relocs[4 * r + 3];
        if (blob < 0 || static_cast<std::uint64_t>(blob) >= nblobs || off < 0 ||
            static_cast<std::uint64_t>(off) + 8 > sizes[blob] || target < lowest_target ||
            target >= static_cast<std::int64_t>(nblobs))
            return nullptr;
        if (target == kHandedKey) {
            if (blob != 0) return nullptr;
            img->handed_key_at.push_back(static_cast<std::size_t>(off));
            continue;
        }
        // A pointer may reach the spare zero byte, never past it: what the
        // module reads there must be ours.
        if (target >= 0 && (addend < 0 || static_cast<std::uint64_t>(addend) > sizes[target])) return nullptr;
        const std::uintptr_t addr = target < 0 ? 0 : reinterpret_cast<std::uintptr_t>(blobs[target].get()) + addend;
        std::memcpy(blobs[blob].get() + off, &addr, sizeof addr);
    }
    return img;
}

}  // namespace tvx::sandbox
