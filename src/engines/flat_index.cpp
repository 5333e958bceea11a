#include "flat_index.hpp"

#include <algorithm>

namespace engines {

void FlatIndex::reserve(std::size_t n) {
    std::size_t want = 16;
    while (want < n * 2)
        want *= 2;
    if (want <= slots_.size())
        return;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(want, Slot{});
    mask_ = want - 1;
    used_ = 0;
    for (const Slot &s : old)
        if (s.key != kEmpty)
            insert(s.key, s.value);
}

void FlatIndex::grow() { reserve(std::max<std::size_t>(16, slots_.size())); }

std::int32_t FlatIndex::find(std::uint64_t key) const {
    if (slots_.empty())
        return kAbsent;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
        const Slot &s = slots_[i];
        if (s.key == key)
            return s.value;
        if (s.key == kEmpty)
            return kAbsent;
    }
}

bool FlatIndex::insert(std::uint64_t key, std::int32_t value) {
    if ((used_ + 1) * 2 > slots_.size())
        grow();
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
        Slot &s = slots_[i];
        if (s.key == key)
            return false;
        if (s.key == kEmpty) {
            s = {key, value};
            ++used_;
            return true;
        }
    }
}

// Backward-shift deletion: the slots after the hole that probed past it move
// up, so no look-up ever stops short.
void FlatIndex::erase(std::uint64_t key) {
    if (slots_.empty())
        return;
    std::size_t i = home(key);
    while (slots_[i].key != key) {
        if (slots_[i].key == kEmpty)
            return;
        i = (i + 1) & mask_;
    }
    for (std::size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
        if (slots_[j].key == kEmpty)
            break;
        const std::size_t h = home(slots_[j].key);
        // slot j may fill the hole at i when its home is not in (i, j]
        const bool stays = i <= j ? (h > i && h <= j) : (h > i || h <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = Slot{};
    --used_;
}

}  // namespace engines
