#include "NameCatalogue.h"

#include "Paths.h"
#include "Ranking.h"
#include "SQLite.h"

#include <algorithm>

namespace nexdir::detail {

namespace {
// Identifiers come from a counter, so they are dense; a file whose identifiers are far
// sparser than its rows is answered from the rows instead of holding mostly empty slots.
constexpr int64_t largestIdentifier = int64_t(UINT32_MAX) - 1;
constexpr int64_t spareSlotsPerRow = 8;
constexpr int64_t spareSlots = 1 << 20;
} // namespace

int64_t sqliteTextLength(std::string_view text) {
    int64_t length = 0;
    size_t i = 0;
    while (i < text.size() && text[i] != '\0') {
        ++length;
        if (static_cast<unsigned char>(text[i++]) >= 0xC0) {
            while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
                ++i;
            }
        }
    }
    return length;
}

uint64_t NameCatalogue::pairMark(std::string_view text) {
    uint64_t mark = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        uint32_t pair = uint32_t(uint8_t(text[i - 1])) * 31u + uint8_t(text[i]);
        mark |= uint64_t(1) << ((pair * 2654435761u) >> 26);
    }
    return mark;
}

size_t NameCatalogue::tripleBucket(const char* bytes) {
    uint32_t triple =
        uint32_t(uint8_t(bytes[0])) << 16 | uint32_t(uint8_t(bytes[1])) << 8 | uint8_t(bytes[2]);
    return (triple * 2654435761u) >> 16;
}

void NameCatalogue::countTriples(std::string_view name, int step) {
    for (size_t i = 0; i + 3 <= name.size(); ++i) {
        tripleCounts_[tripleBucket(name.data() + i)] += uint32_t(step);
    }
}

uint64_t NameCatalogue::tripleOccurrences(std::string_view text) const {
    uint64_t total = 0;
    for (size_t i = 0; i + 3 <= text.size(); ++i) {
        total += tripleCounts_[tripleBucket(text.data() + i)];
    }
    return total;
}

uint64_t NameCatalogue::rarestTripleOccurrences(std::string_view text) const {
    uint64_t rarest = text.size() < 3 ? 0 : UINT64_MAX;
    for (size_t i = 0; i + 3 <= text.size(); ++i) {
        rarest = std::min<uint64_t>(rarest, tripleCounts_[tripleBucket(text.data() + i)]);
    }
    return rarest;
}

std::unordered_map<int64_t, std::string>
NameCatalogue::paths(const std::vector<int64_t>& ids) const {
    std::unordered_map<int64_t, std::string> found;
    std::vector<int64_t> chain;
    for (int64_t id : ids) {
        chain.clear();
        int64_t at = id;
        // A chain longer than the number of entries has a loop: it reaches no root.
        while (contains(at) && chain.size() <= count_) {
            chain.push_back(at);
            at = parent(at);
        }
        if (chain.empty() || at != 0 || parent(chain.back()) != 0) {
            continue;
        }
        std::string path(name(chain.back()));
        for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
            path = appendingPathComponent(path, name(*it));
        }
        found.emplace(id, std::move(path));
    }
    return found;
}

bool NameCatalogue::fits(int64_t id, int64_t parent, size_t nameLength) const {
    if (id <= 0 || id > largestIdentifier || parent < 0 || parent > largestIdentifier ||
        nameLength > UINT16_MAX) {
        return false;
    }
    return id < int64_t(flags_.size()) || id <= int64_t(count_ + 1) * spareSlotsPerRow + spareSlots;
}

uint8_t NameCatalogue::extensionMark(std::string_view extension) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (char byte : extension) {
        hash = (hash ^ uint8_t(byte)) * 16777619u;
    }
    return uint8_t(hash ^ (hash >> 8) ^ (hash >> 16) ^ (hash >> 24));
}

bool NameCatalogue::load(sqlite3* reader) {
    *this = NameCatalogue();
    sql::Statement rows(reader,
                        "SELECT id, parent_id, is_directory, search_name, name, size, modified_at "
                        "FROM entries;");
    int result;
    while ((result = rows.step()) == SQLITE_ROW) {
        int64_t id = rows.columnInt(0);
        int64_t parent = rows.columnInt(1);
        auto bytes = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 3));
        std::string_view searchName(bytes ? bytes : "",
                                    size_t(sqlite3_column_bytes(rows.get(), 3)));
        bytes = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 4));
        std::string_view name(bytes ? bytes : "", size_t(sqlite3_column_bytes(rows.get(), 4)));
        if (!fits(id, parent, std::max(name.size(), searchName.size()))) {
            *this = NameCatalogue();
            return false;
        }
        put(id, parent, rows.columnInt(2) != 0, name, searchName, rows.columnInt(5),
            sqlite3_column_double(rows.get(), 6));
    }
    if (result != SQLITE_DONE) {
        *this = NameCatalogue();
        throw sql::error(reader, "Search failed");
    }
    return true;
}

bool NameCatalogue::apply(const EntryChange& change) {
    if (change.removed) {
        remove(change.id);
        return true;
    }
    if (!fits(change.id, change.parent, std::max(change.name.size(), change.searchName.size()))) {
        return false;
    }
    put(change.id, change.parent, change.isDirectory, change.name, change.searchName, change.size,
        change.modifiedAt);
    return true;
}

void NameCatalogue::put(int64_t id, int64_t parent, bool isDirectory, std::string_view name,
                        std::string_view searchName, int64_t size, double modifiedAt) {
    size_t slot = size_t(id);
    if (slot >= flags_.size()) {
        resizeSlots(std::max(slot + 1, flags_.size() + flags_.size() / 4));
    }
    sizes_[slot] = size;
    modifiedTimes_[slot] = modifiedAt;
    if (flags_[slot] & present) {
        if (searchName == this->searchName(id) && name == this->name(id)) {
            // Only the kind, the parent, the size or the time changed: keep the stored name.
            directories_ -= (flags_[slot] & directory) ? 1 : 0;
            directories_ += isDirectory ? 1 : 0;
            flags_[slot] = uint8_t(present | (isDirectory ? directory : 0));
            parents_[slot] = uint32_t(parent);
            return;
        }
        remove(id);
    }
    offsets_[slot] = uint32_t(arena_.size());
    lengths_[slot] = uint16_t(searchName.size());
    arena_.append(searchName);
    arena_.push_back('\0');
    size_t bytes = searchName.size() + 1;
    if (name == searchName) {
        nameOffsets_[slot] = sameAsSearchName;
    } else {
        nameOffsets_[slot] = uint32_t(arena_.size());
        nameLengths_[slot] = uint16_t(name.size());
        arena_.append(name);
        arena_.push_back('\0');
        bytes += name.size() + 1;
    }
    firstBytes_[slot] = searchName.empty() ? 0 : uint8_t(searchName.front());
    pairMarks_[slot] = pairMark(searchName);
    size_t dot = searchName.rfind('.');
    extensionMarks_[slot] =
        extensionMark(dot == std::string_view::npos ? std::string_view() : searchName.substr(dot + 1));
    cappedLengths_[slot] =
        uint8_t(std::min<int64_t>(sqliteTextLength(searchName), Ranking::lengthCap));
    countTriples(searchName, 1);
    parents_[slot] = uint32_t(parent);
    flags_[slot] = uint8_t(present | (isDirectory ? directory : 0));
    ++count_;
    directories_ += isDirectory ? 1 : 0;
    liveBytes_ += bytes;
    if (arena_.size() > UINT32_MAX / 2) {
        compactIfWasteful();
    }
}

void NameCatalogue::remove(int64_t id) {
    if (!contains(id)) {
        return;
    }
    size_t slot = size_t(id);
    countTriples(searchName(id), -1);
    --count_;
    directories_ -= (flags_[slot] & directory) ? 1 : 0;
    liveBytes_ -= size_t(lengths_[slot]) + 1 +
                  (nameOffsets_[slot] == sameAsSearchName ? 0 : size_t(nameLengths_[slot]) + 1);
    flags_[slot] = 0;
    firstBytes_[slot] = 0;
    pairMarks_[slot] = 0;
    compactIfWasteful();
}

void NameCatalogue::compactIfWasteful() {
    if (arena_.size() < (1u << 20) || arena_.size() < liveBytes_ * 2) {
        return;
    }
    compact(liveBytes_ / 4);
}

void NameCatalogue::resizeSlots(size_t size) {
    // Exactly `size`: a vector left to grow by itself doubles, and these hold one slot for
    // every identifier.
    eachSlotVector([size](auto& values) {
        if (size > values.capacity()) {
            values.reserve(size);
        }
        values.resize(size, 0);
    });
}

void NameCatalogue::trim() {
    size_t used = flags_.size();
    while (used > 0 && !(flags_[used - 1] & present)) {
        --used;
    }
    resizeSlots(used);
    eachSlotVector([](auto& values) { values.shrink_to_fit(); });
    if (arena_.capacity() > liveBytes_) {
        compact(0);
    }
}

void NameCatalogue::compact(size_t spare) {
    std::string compacted;
    compacted.reserve(liveBytes_ + spare);
    for (size_t slot = 0; slot < flags_.size(); ++slot) {
        if (flags_[slot] & present) {
            uint32_t offset = uint32_t(compacted.size());
            compacted.append(arena_, offsets_[slot], size_t(lengths_[slot]) + 1);
            offsets_[slot] = offset;
            if (nameOffsets_[slot] != sameAsSearchName) {
                offset = uint32_t(compacted.size());
                compacted.append(arena_, nameOffsets_[slot], size_t(nameLengths_[slot]) + 1);
                nameOffsets_[slot] = offset;
            }
        }
    }
    arena_ = std::move(compacted);
}

} // namespace nexdir::detail
