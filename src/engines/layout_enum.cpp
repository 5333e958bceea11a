#include "layout_enum.hpp"

#include "layout_order.hpp"
#include "set_order.hpp"

#include <algorithm>
#include <cstring>

namespace engines::layout {

namespace {

// Every connected set of n qubits whose smallest qubit is s, once each
// (extension sets): a branch adds a qubit w of its extension and hands on
// the rest of the extension plus the neighbours of w above s that are
// neither in the set nor beside it; each qubit of an extension is left out
// of the branches tried after its own.  So a branch can only add qubits of
// its extension and qubits reached from them through qubits above s that
// are neither in the set nor beside it; a branch where fewer than the
// missing qubits are left is not taken, and every branch taken ends in sets.
class Sets {
public:
    Sets(const Chip &chip, std::int32_t s, int n)
        : chip_(chip), s_(s), n_(static_cast<std::size_t>(n)), above_(static_cast<std::size_t>(chip.size()), 0),
          in_(above_.size(), 0), beside_(above_.size(), 0), mark_(above_.size(), 0) {
        for (std::int32_t u = 0; u < chip.size(); ++u)
            above_[u] = chip.value[u] > chip.value[s];
    }

    // Appends the sets to `found`, n node indices each; `tick` is called
    // now and then and returns false to stop.
    template <class Tick> void run(std::vector<std::int32_t> &found, Tick &&tick);

private:
    void add(std::int32_t w) {
        for (std::int32_t u : chip_.nbrs(w))
            if (above_[u] && !in_[u] && beside_[u] == 0)
                ext_.push_back(u);
        for (std::int32_t u : chip_.nbrs(w))
            ++beside_[u];
        in_[w] = 1;
        set_.push_back(w);
    }
    bool fillable(std::size_t begin);
    void remove_last() {
        const std::int32_t w = set_.back();
        for (std::int32_t u : chip_.nbrs(w))
            --beside_[u];
        in_[w] = 0;
        set_.pop_back();
    }

    const Chip &chip_;
    const std::int32_t s_;
    const std::size_t n_;
    std::vector<std::uint8_t> above_, in_;
    std::vector<std::int32_t> beside_;  // how many qubits of the set neighbour a qubit
    std::vector<std::int32_t> set_, ext_, queue_;
    std::vector<std::uint32_t> mark_;  // == stamp_: met by the current fillable()
    std::uint32_t stamp_ = 0;
    struct Frame {
        std::size_t begin, end;  // the extension still to try: ext_[begin, end)
    };
    std::vector<Frame> frames_;
};

// Whether the set can still grow to n qubits from its extension ext_[begin..].
bool Sets::fillable(std::size_t begin) {
    const std::size_t missing = n_ - set_.size();
    if (ext_.size() - begin >= missing)
        return true;
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        stamp_ = 1;
    }
    queue_.assign(ext_.begin() + static_cast<std::ptrdiff_t>(begin), ext_.end());
    for (std::int32_t q : queue_)
        mark_[q] = stamp_;
    for (std::size_t at = 0; at < queue_.size() && queue_.size() < missing; ++at)
        for (std::int32_t u : chip_.nbrs(queue_[at]))
            if (mark_[u] != stamp_ && above_[u] && !in_[u] && beside_[u] == 0) {
                mark_[u] = stamp_;
                queue_.push_back(u);
            }
    return queue_.size() >= missing;
}

template <class Tick> void Sets::run(std::vector<std::int32_t> &found, Tick &&tick) {
    add(s_);
    if (!fillable(0)) {
        remove_last();
        return;
    }
    frames_.push_back({0, ext_.size()});
    std::size_t steps = 0;
    while (!frames_.empty()) {
        if ((++steps & 4095) == 0 && !tick())
            return;
        Frame &f = frames_.back();
        if (f.end == f.begin) {
            ext_.resize(f.begin);
            frames_.pop_back();
            remove_last();
            continue;
        }
        const std::int32_t w = ext_[--f.end];
        if (set_.size() + 1 == n_) {
            found.insert(found.end(), set_.begin(), set_.end());
            found.push_back(w);
            continue;
        }
        const std::size_t begin = ext_.size(), lo = f.begin, hi = f.end;
        ext_.resize(begin + (hi - lo));
        std::copy(ext_.begin() + static_cast<std::ptrdiff_t>(lo), ext_.begin() + static_cast<std::ptrdiff_t>(hi),
                  ext_.begin() + static_cast<std::ptrdiff_t>(begin));
        add(w);
        if (fillable(begin)) {
            frames_.push_back({begin, ext_.size()});
        } else {
            remove_last();
            ext_.resize(begin);
        }
    }
}

// The memory one start qubit holds, charged against the shared budget.
class Charge {
public:
    explicit Charge(Budget &budget) : budget_(budget) {}
    ~Charge() { budget_.words.fetch_sub(held_, std::memory_order_relaxed); }
    void hold(std::int64_t words) {
        if (words > held_)
            budget_.take(words - held_);
        else
            budget_.words.fetch_sub(held_ - words, std::memory_order_relaxed);
        held_ = words;
    }

private:
    Budget &budget_;
    std::int64_t held_ = 0;
};

// The sets of `found` (n node indices each, ascending by value) in the
// order of their first collection, or nothing once stopped.  Keys are
// compared as big-endian bytes: their first sixteen bytes, then the rest.
template <class Stopped> std::vector<std::uint32_t> collection_order(const Chip &chip, std::int32_t s, int n,
                                                                     const std::vector<std::int32_t> &found,
                                                                     Charge &charge, Stopped &&stopped) {
    const auto size = static_cast<std::size_t>(n);
    const std::size_t count = found.size() / size, stride = FirstCollection::stride(n);
    const std::size_t largest = std::max<std::size_t>(size, static_cast<std::size_t>(chip.size()));
    const std::size_t width = largest < 256 ? 1 : largest < 65536 ? 2 : 4;
    const std::size_t bytes = std::max<std::size_t>(stride * width, 16);
    charge.hold(static_cast<std::int64_t>(found.size() + count * (bytes / 4 + 4)));
    std::vector<std::uint8_t> keys(count * bytes, 0);
    std::vector<std::uint32_t> words(stride);
    FirstCollection first(chip, s, n);
    struct Item {
        std::uint64_t head[2];  // the first sixteen bytes
        std::uint32_t set;
    };
    std::vector<Item> items(count);
    for (std::size_t c = 0; c < count; ++c) {
        first.key(found.data() + c * size, words.data());
        std::uint8_t *k = keys.data() + c * bytes;
        for (std::size_t i = 0; i < stride; ++i)
            for (std::size_t b = 0; b < width; ++b)
                k[i * width + b] = static_cast<std::uint8_t>(words[i] >> (8 * (width - 1 - b)));
        Item &item = items[c];
        item = {{0, 0}, static_cast<std::uint32_t>(c)};
        for (std::size_t b = 0; b < 16; ++b)
            item.head[b / 8] = item.head[b / 8] << 8 | k[b];
        if ((c & 1023) == 1023 && stopped())
            return {};
    }
    std::sort(items.begin(), items.end(), [&](const Item &a, const Item &b) {
        if (a.head[0] != b.head[0])
            return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1])
            return a.head[1] < b.head[1];
        return std::memcmp(keys.data() + a.set * bytes + 16, keys.data() + b.set * bytes + 16, bytes - 16) < 0;
    });
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = items[i].set;
    return order;
}

// list(set(tuples)) of the sets of `found` added in `order`: the sets in
// the iteration order of that Python set, onto `out`.
void list_in_set_order(const Chip &chip, int n, const std::vector<std::int32_t> &found,
                       const std::vector<std::uint32_t> &order, std::vector<std::int32_t> &out) {
    const std::size_t count = order.size();
    std::vector<std::int64_t> hashes(count);
    for (std::size_t c = 0; c < count; ++c) {
        const std::int32_t *set = found.data() + c * static_cast<std::size_t>(n);
        hashes[c] = setorder::tuple_hash(set, set + n, [&](std::int32_t q) { return chip.value[q]; });
    }
    setorder::SetOrder tuples(false);
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count)
            tuples.prefetch(hashes[order[i + kAhead]]);
        tuples.add(hashes[order[i]], static_cast<std::int32_t>(order[i]));
    }
    std::vector<std::int32_t> listed;
    listed.reserve(count);
    tuples.order(listed);
    out.reserve(found.size());
    for (std::int32_t c : listed)
        out.insert(out.end(), found.begin() + static_cast<std::ptrdiff_t>(c) * n,
                   found.begin() + static_cast<std::ptrdiff_t>(c + 1) * n);
}

}  // namespace

void enumerate_start(const Chip &chip, std::int32_t s, int n, StartSets &out, Budget &budget) {
    out = StartSets{};
    if (n < 1)
        return;
    if (n == 1) {
        budget.take(1);
        out.nodes.push_back(s);
        return;
    }
    const auto stopped = [&] { return budget.stop.load(std::memory_order_relaxed); };
    {
        Charge charge(budget);
        std::vector<std::int32_t> found;
        Sets(chip, s, n).run(found, [&] {
            charge.hold(static_cast<std::int64_t>(found.capacity()));
            return !stopped();
        });
        const auto size = static_cast<std::size_t>(n);
        if (stopped() || found.empty())
            return;
        const auto less = [&](std::int32_t a, std::int32_t b) { return chip.value[a] < chip.value[b]; };
        for (auto at = found.begin(); at != found.end(); at += static_cast<std::ptrdiff_t>(size))
            std::sort(at, at + static_cast<std::ptrdiff_t>(size), less);
        const std::vector<std::uint32_t> order = collection_order(chip, s, n, found, charge, stopped);
        if (stopped())
            return;
        list_in_set_order(chip, n, found, order, out.nodes);
    }
    budget.take(static_cast<std::int64_t>(out.nodes.size()));
}

}  // namespace engines::layout
