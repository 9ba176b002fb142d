// A bounded log: keeps the most recent entries in a ring of settable size and
// counts every entry ever pushed, so that a virtual chip can log transfers for
// hours without its memory growing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qzsim {

inline constexpr std::size_t kDefaultLogLimit = 1024;

template <class Entry>
class RingLog {
public:
    explicit RingLog(std::size_t limit = kDefaultLogLimit) : limit_(limit) {}

    // Appends an entry, dropping the oldest one when the ring is full (a limit
    // of 0 keeps nothing, but still counts).
    void push(Entry entry) {
        ++count_;
        if (limit_ == 0) return;
        if (ring_.size() < limit_) {
            // Grow by doubling, but never past the limit.
            if (ring_.size() == ring_.capacity())
                ring_.reserve(std::min(limit_, std::max<std::size_t>(16, 2 * ring_.size())));
            ring_.push_back(std::move(entry));
            return;
        }
        ring_[head_] = std::move(entry);
        head_ = (head_ + 1) % limit_;
    }

    // The kept entries, oldest first.
    std::vector<Entry> entries() const {
        std::vector<Entry> out;
        out.reserve(ring_.size());
        for (std::size_t k = 0; k < ring_.size(); ++k) out.push_back(ring_[(head_ + k) % ring_.size()]);
        return out;
    }

    // Entries pushed since the last clear, kept or not.
    uint64_t count() const { return count_; }
    std::size_t limit() const { return limit_; }

    // A new ring size; the most recent entries that fit are kept.
    void setLimit(std::size_t limit) {
        std::vector<Entry> kept = entries();
        if (kept.size() > limit) kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(limit));
        kept.shrink_to_fit();
        ring_ = std::move(kept);
        head_ = 0;
        limit_ = limit;
    }

    // Forgets every entry and the count; gives the memory back.
    void clear() {
        std::vector<Entry>().swap(ring_);
        head_ = 0;
        count_ = 0;
    }

private:
    std::size_t limit_;
    std::vector<Entry> ring_;  // in push order from head_ on, once full
    std::size_t head_ = 0;     // the oldest entry when the ring is full
    uint64_t count_ = 0;
};

}  // namespace qzsim
