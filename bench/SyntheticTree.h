#pragma once

// A deterministic synthetic file tree for benchmarks: realistic names (words, digits,
// extensions, accents, hashes), folders and files in realistic proportions, depth up to 12.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quelmo::bench {

struct SyntheticNode {
    int64_t parent;   // index of the parent node; -1 for the root
    std::string name; // the root's name is empty
    bool isDirectory;
    int depth;
    int64_t size;
};

// Node 0 is the root folder. The same `count` and `seed` always give the same tree.
std::vector<SyntheticNode> generateTree(size_t count, uint64_t seed = 20261206);

// Words the generator uses rarely (about one name in 5,000 carries one), for "rare word"
// queries.
const std::vector<std::string>& rareWords();

// A small deterministic random source whose sequence does not depend on the library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed ? seed : 1) {}
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    size_t below(size_t bound) { return size_t(next() % bound); }
    bool chance(double probability) { return double(next() % 1'000'000) < probability * 1e6; }
    template <class T> const T& pick(const std::vector<T>& values) {
        return values[below(values.size())];
    }

private:
    uint64_t state_;
};

} // namespace quelmo::bench
