#pragma once

// A map from entry identifiers to small values for the life of one search (internal): open
// addressing in flat arrays, because a search looks up thousands of folders and a node per
// entry costs more than the lookups. References are valid until the next insert.

#include <cstdint>
#include <vector>

namespace nexdir::detail {

template <typename Value> class IdMap {
public:
    Value* find(int64_t key) {
        if (size_ == 0) {
            return nullptr;
        }
        for (size_t slot = home(key);; slot = (slot + 1) & mask_) {
            if (!used_[slot]) {
                return nullptr;
            }
            if (keys_[slot] == key) {
                return &values_[slot];
            }
        }
    }

    // Inserts or replaces.
    Value& put(int64_t key, Value value) {
        if ((size_ + 1) * 2 > keys_.size()) {
            grow();
        }
        size_t slot = home(key);
        while (used_[slot] && keys_[slot] != key) {
            slot = (slot + 1) & mask_;
        }
        if (!used_[slot]) {
            used_[slot] = 1;
            keys_[slot] = key;
            ++size_;
        }
        values_[slot] = std::move(value);
        return values_[slot];
    }

private:
    size_t home(int64_t key) const {
        return size_t((uint64_t(key) * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }

    void grow() {
        std::vector<int64_t> keys = std::move(keys_);
        std::vector<uint8_t> used = std::move(used_);
        std::vector<Value> values = std::move(values_);
        size_t capacity = keys.empty() ? 256 : keys.size() * 2;
        keys_.assign(capacity, 0);
        used_.assign(capacity, 0);
        values_.assign(capacity, Value());
        mask_ = capacity - 1;
        size_ = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (used[i]) {
                put(keys[i], std::move(values[i]));
            }
        }
    }

    std::vector<int64_t> keys_;
    std::vector<uint8_t> used_;
    std::vector<Value> values_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

} // namespace nexdir::detail
