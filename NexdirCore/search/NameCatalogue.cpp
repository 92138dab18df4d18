#include "NameCatalogue.h"

#include "Paths.h"
#include "Ranking.h"
#include "SQLite.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace nexdir::detail {

namespace {
// Identifiers come from a counter, so they are dense; a file whose identifiers are far
// sparser than its rows is answered from the rows instead of holding mostly empty slots.
constexpr int64_t largestIdentifier = int64_t(UINT32_MAX) - 1;
constexpr int64_t spareSlotsPerRow = 8;
constexpr int64_t spareSlots = 1 << 20;

// Most stored names differ from their search names only in the case of a few letters or in a
// few accented letters, so they are kept as edits of the search name, one byte each:
//   0x00          the rest of the search name as it is, and the end;
//   0x01 - 0x7F   that many bytes as they are;
//   0x80 - 0xBF   (byte & 0x3F) + 1 bytes with their letters a-z in upper case;
//   0xC0 - 0xFF   (byte & 0x3F) bytes left out, then a count and that many bytes put in.
constexpr uint8_t editsEnd = 0x00;
constexpr uint8_t upperCased = 0x80;
constexpr uint8_t replaced = 0xC0;
constexpr size_t longestKept = 0x7F;
constexpr size_t longestUpperCased = 0x40;
constexpr size_t longestLeftOut = 0x3F;

bool isLower(char byte) { return byte >= 'a' && byte <= 'z'; }
char upper(char byte) { return isLower(byte) ? char(byte - 'a' + 'A') : byte; }

// Calls `piece(bytes, upperCase)` for each piece of the stored name in order; returns where
// the edits end.
template <typename Piece>
const char* followEdits(const char* at, std::string_view search, Piece piece) {
    size_t from = 0;
    for (;;) {
        uint8_t edit = uint8_t(*at++);
        if (edit == editsEnd) {
            piece(search.substr(from), false);
            return at;
        }
        if (edit < upperCased) {
            piece(search.substr(from, edit), false);
            from += edit;
        } else if (edit < replaced) {
            size_t count = size_t(edit & 0x3F) + 1;
            piece(search.substr(from, count), true);
            from += count;
        } else {
            from += edit & 0x3F;
            size_t count = uint8_t(*at++);
            piece(std::string_view(at, count), false);
            at += count;
        }
    }
}

// The edits that make `name` from `search`, or nothing when the name is better kept whole.
std::optional<std::string> nameEdits(std::string_view search, std::string_view name) {
    std::string edits;
    size_t i = 0, j = 0;
    while (j < name.size()) {
        if (i < search.size() && name[j] == search[i]) {
            size_t run = 1;
            while (i + run < search.size() && j + run < name.size() &&
                   name[j + run] == search[i + run]) {
                ++run;
            }
            i += run;
            j += run;
            if (i == search.size() && j == name.size()) {
                break;
            }
            for (; run > longestKept; run -= longestKept) {
                edits.push_back(char(longestKept));
            }
            edits.push_back(char(run));
        } else if (i < search.size() && isLower(search[i]) && name[j] == upper(search[i])) {
            size_t run = 1;
            while (run < longestUpperCased && i + run < search.size() && j + run < name.size() &&
                   isLower(search[i + run]) && name[j + run] == upper(search[i + run])) {
                ++run;
            }
            edits.push_back(char(upperCased | (run - 1)));
            i += run;
            j += run;
        } else {
            // A character the search form changed: put in the stored one, whole, and leave
            // out the fewest search bytes after which the two agree again.
            size_t put = 0;
            std::optional<size_t> leftOut;
            while (!leftOut && j + put < name.size() && put < 32) {
                ++put;
                while (j + put < name.size() && (uint8_t(name[j + put]) & 0xC0) == 0x80) {
                    ++put;
                }
                for (size_t out = 0; out <= longestLeftOut && i + out <= search.size(); ++out) {
                    bool bothEnd = i + out == search.size() && j + put == name.size();
                    bool agree = i + out < search.size() && j + put < name.size() &&
                                 (name[j + put] == search[i + out] ||
                                  (isLower(search[i + out]) && name[j + put] == upper(search[i + out])));
                    if (bothEnd || agree) {
                        leftOut = out;
                        break;
                    }
                }
            }
            if (!leftOut || put > 255) {
                return std::nullopt;
            }
            edits.push_back(char(replaced | *leftOut));
            edits.push_back(char(put));
            edits.append(name.substr(j, put));
            i += *leftOut;
            j += put;
        }
        if (edits.size() >= name.size()) {
            return std::nullopt;
        }
    }
    for (; i < search.size(); i += std::min(longestLeftOut, search.size() - i)) {
        edits.push_back(char(replaced | std::min(longestLeftOut, search.size() - i)));
        edits.push_back(0);
    }
    edits.push_back(char(editsEnd));
    if (edits.size() > name.size()) {
        return std::nullopt;
    }
    return edits;
}
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
    std::string scratch;
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
        std::string path(name(chain.back(), scratch));
        for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
            path = appendingPathComponent(path, name(*it, scratch));
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
    {
        // Room for every identifier at once, rather than growing to it row by row.
        sql::Statement extent(reader, "SELECT (SELECT max(id) FROM entries), "
                                      "(SELECT total FROM file_stats WHERE id = 1);");
        if (extent.step() == SQLITE_ROW) {
            int64_t largest = extent.columnInt(0);
            int64_t rows = extent.columnInt(1);
            if (largest > 0 && largest <= largestIdentifier &&
                largest <= rows * spareSlotsPerRow + spareSlots) {
                resizeSlots(size_t(largest) + 1);
            }
        }
    }
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
    arena_.shrink_to_fit();
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
        // Room for a quarter more is reserved, but only the slots up to this one are written:
        // the rest of a mapped block costs no memory until it is. Written all at once, the
        // room took 7 MB more at 1,000,000 entries from the first new entry of a churn on.
        resizeSlots(slot + 1, std::max(slot + 1, flags_.size() + flags_.size() / 4));
    }
    if (flags_[slot] & present) {
        std::string scratch;
        if (searchName == this->searchName(id) && name == this->name(id, scratch)) {
            // Only the kind, the parent, the size or the time changed: keep the stored name.
            directories_ -= (flags_[slot] & directory) ? 1 : 0;
            directories_ += isDirectory ? 1 : 0;
            flags_[slot] = uint8_t((flags_[slot] & (nameForm | sameCharacters)) | present |
                                   (isDirectory ? directory : 0));
            parents_[slot] = uint32_t(parent);
            setSize(slot, size);
            setModifiedAt(slot, modifiedAt);
            return;
        }
        remove(id);
    }
    setSize(slot, size);
    setModifiedAt(slot, modifiedAt);
    size_t start = arena_.size();
    offsets_[slot] = uint32_t(start);
    appendCounted(arena_, searchName);
    uint8_t form = nameWhole;
    if (name == searchName) {
        form = nameSame;
    } else if (name.size() == searchName.size() && isLower(searchName.front()) &&
               name.front() == upper(searchName.front()) &&
               name.substr(1) == searchName.substr(1)) {
        form = nameCapitalized;
    } else if (std::optional<std::string> edits = nameEdits(searchName, name)) {
        form = nameEdited;
        arena_.append(edits->data(), edits->size());
    } else {
        appendCounted(arena_, name);
    }
    firstBytes_[slot] = searchName.empty() ? 0 : uint8_t(searchName.front());
    pairMarks_[slot] = pairMark(searchName);
    size_t dot = searchName.rfind('.');
    extensionMarks_[slot] =
        extensionMark(dot == std::string_view::npos ? std::string_view() : searchName.substr(dot + 1));
    int64_t characters = sqliteTextLength(searchName);
    cappedLengths_[slot] = uint8_t(std::min<int64_t>(characters, Ranking::lengthCap));
    countTriples(searchName, 1);
    parents_[slot] = uint32_t(parent);
    bool sameCount = form == nameSame || form == nameCapitalized ||
                     sqliteTextLength(name) == characters;
    flags_[slot] = uint8_t(present | (isDirectory ? directory : 0) | form |
                           (sameCount ? sameCharacters : 0));
    ++count_;
    directories_ += isDirectory ? 1 : 0;
    liveBytes_ += arena_.size() - start;
    if (arena_.size() > UINT32_MAX / 2) {
        compactIfWasteful();
    }
}

void NameCatalogue::appendCounted(Arena& arena, std::string_view text) {
    if (text.size() < longCount) {
        arena.push_back(char(text.size()));
    } else {
        arena.push_back(char(longCount));
        arena.push_back(char(text.size() & 0xFF));
        arena.push_back(char(text.size() >> 8));
    }
    arena.append(text);
}

void NameCatalogue::setSize(size_t slot, int64_t size) {
    if (sizes_[slot] == largeSize) {
        largeSizes_.erase(uint32_t(slot));
    }
    if (size >= 0 && size < int64_t(largeSize)) {
        sizes_[slot] = uint32_t(size);
    } else {
        sizes_[slot] = largeSize;
        largeSizes_[uint32_t(slot)] = size;
    }
}

void NameCatalogue::setModifiedAt(size_t slot, double modifiedAt) {
    if (modifiedSeconds_[slot] == oddSecond) {
        oddSeconds_.erase(uint32_t(slot));
    }
    double second = std::floor(modifiedAt);
    if (second > double(oddSecond) && second <= double(INT32_MAX)) {
        modifiedSeconds_[slot] = int32_t(second);
    } else {
        modifiedSeconds_[slot] = oddSecond;
        oddSeconds_[uint32_t(slot)] = second;
    }
}

std::string_view NameCatalogue::name(int64_t id, std::string& scratch) const {
    const char* at = arena_.data() + offsets_[size_t(id)];
    std::string_view search = readCounted(at);
    switch (flags_[size_t(id)] & nameForm) {
    case nameSame:
        return search;
    case nameCapitalized:
        scratch.assign(search);
        scratch.front() = upper(scratch.front());
        return scratch;
    case nameEdited:
        scratch.clear();
        followEdits(at, search, [&](std::string_view piece, bool upperCase) {
            size_t from = scratch.size();
            scratch.append(piece);
            if (upperCase) {
                std::transform(scratch.begin() + long(from), scratch.end(), scratch.begin() + long(from), upper);
            }
        });
        return scratch;
    default:
        return readCounted(at);
    }
}

size_t NameCatalogue::nameLength(int64_t id) const {
    const char* at = arena_.data() + offsets_[size_t(id)];
    std::string_view search = readCounted(at);
    switch (flags_[size_t(id)] & nameForm) {
    case nameSame:
    case nameCapitalized:
        return search.size();
    case nameEdited: {
        size_t length = 0;
        followEdits(at, search, [&](std::string_view piece, bool) { length += piece.size(); });
        return length;
    }
    default:
        return readCounted(at).size();
    }
}

int NameCatalogue::compareNames(int64_t a, int64_t b) const {
    uint8_t formA = flags_[size_t(a)] & nameForm;
    uint8_t formB = flags_[size_t(b)] & nameForm;
    if ((formA == nameSame || formA == nameCapitalized) &&
        (formB == nameSame || formB == nameCapitalized)) {
        // Names of equal rank are compared often: these two differ from their search names
        // in the first byte at most, so neither is copied.
        std::string_view first = searchName(a), second = searchName(b);
        if (first.empty() || second.empty()) {
            return first.compare(second);
        }
        uint8_t headA = uint8_t(formA == nameCapitalized ? upper(first.front()) : first.front());
        uint8_t headB = uint8_t(formB == nameCapitalized ? upper(second.front()) : second.front());
        if (headA != headB) {
            return headA < headB ? -1 : 1;
        }
        return first.substr(1).compare(second.substr(1));
    }
    thread_local std::string first, second;
    return name(a, first).compare(name(b, second));
}

size_t NameCatalogue::entryBytes(int64_t id) const {
    const char* start = arena_.data() + offsets_[size_t(id)];
    const char* at = start;
    std::string_view search = readCounted(at);
    switch (flags_[size_t(id)] & nameForm) {
    case nameEdited:
        at = followEdits(at, search, [](std::string_view, bool) {});
        break;
    case nameWhole:
        readCounted(at);
        break;
    default:
        break;
    }
    return size_t(at - start);
}

std::optional<size_t> NameCatalogue::checkedEntryBytes(size_t slot) const {
    size_t start = offsets_[slot];
    size_t at = start;
    size_t end = arena_.size();
    auto counted = [&](size_t& length) {
        if (at >= end) {
            return false;
        }
        length = uint8_t(arena_[at++]);
        if (length == longCount) {
            if (end - at < 2) {
                return false;
            }
            length = size_t(uint8_t(arena_[at])) | size_t(uint8_t(arena_[at + 1])) << 8;
            at += 2;
        }
        if (end - at < length) {
            return false;
        }
        at += length;
        return true;
    };
    size_t search = 0;
    if (!counted(search)) {
        return std::nullopt;
    }
    switch (flags_[slot] & nameForm) {
    case nameEdited:
        // As followEdits reads them, never past the search name.
        for (size_t from = 0;;) {
            if (at >= end) {
                return std::nullopt;
            }
            uint8_t edit = uint8_t(arena_[at++]);
            if (edit == editsEnd) {
                break;
            }
            if (edit < upperCased) {
                from += edit;
            } else if (edit < replaced) {
                from += size_t(edit & 0x3F) + 1;
            } else {
                from += edit & 0x3F;
                size_t count = 0;
                if (at >= end || (count = uint8_t(arena_[at++]), end - at < count)) {
                    return std::nullopt;
                }
                at += count;
            }
            if (from > search) {
                return std::nullopt;
            }
        }
        break;
    case nameWhole: {
        size_t length = 0;
        if (!counted(length)) {
            return std::nullopt;
        }
        break;
    }
    default:
        break;
    }
    return at - start;
}

bool NameCatalogue::verifySaved() {
    count_ = 0;
    directories_ = 0;
    liveBytes_ = 0;
    if (tripleCounts_.size() != tripleBuckets) {
        return false;
    }
    for (size_t slot = 0; slot < flags_.size(); ++slot) {
        if ((sizes_[slot] == largeSize && !largeSizes_.contains(uint32_t(slot))) ||
            (modifiedSeconds_[slot] == oddSecond && !oddSeconds_.contains(uint32_t(slot)))) {
            return false;
        }
        if (!(flags_[slot] & present)) {
            continue;
        }
        std::optional<size_t> bytes = checkedEntryBytes(slot);
        if (slot == 0 || !bytes) {
            return false;
        }
        ++count_;
        directories_ += (flags_[slot] & directory) ? 1 : 0;
        liveBytes_ += *bytes;
    }
    return true;
}

size_t NameCatalogue::bytes() const {
    size_t total = arena_.capacity() + tripleCounts_.capacity() * sizeof(uint32_t);
    eachSlotVector(*this, [&total](const auto& values) {
        total += values.capacity() * sizeof(values[0]);
    });
    // A node of an unordered map: the pair, the next pointer and the cached hash, roughly.
    total += (largeSizes_.size() + oddSeconds_.size()) * 32 +
             (largeSizes_.bucket_count() + oddSeconds_.bucket_count()) * sizeof(void*);
    return total;
}

void NameCatalogue::remove(int64_t id) {
    if (!contains(id)) {
        return;
    }
    size_t slot = size_t(id);
    countTriples(searchName(id), -1);
    --count_;
    directories_ -= (flags_[slot] & directory) ? 1 : 0;
    liveBytes_ -= entryBytes(id);
    setSize(slot, 0);
    setModifiedAt(slot, 0);
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

void NameCatalogue::reserveArena(size_t bytes) {
    arena_.reserve(bytes);
}

void NameCatalogue::resizeSlots(size_t size, size_t room) {
    // Exactly `room` when more is needed: a vector left to grow by itself doubles, and these
    // hold one slot for every identifier.
    eachSlotVector(*this, [size, room](auto& values) {
        if (values.capacity() < size) {
            values.reserve(std::max(size, room));
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
    eachSlotVector(*this, [](auto& values) { values.shrink_to_fit(); });
    largeSizes_.rehash(0);
    oddSeconds_.rehash(0);
    if (arena_.capacity() > liveBytes_) {
        compact(0);
    }
}

void NameCatalogue::compact(size_t spare) {
    Arena compacted;
    compacted.reserve(liveBytes_ + spare);
    for (size_t slot = 0; slot < flags_.size(); ++slot) {
        if (flags_[slot] & present) {
            size_t bytes = entryBytes(int64_t(slot));
            uint32_t offset = uint32_t(compacted.size());
            compacted.append(arena_, offsets_[slot], bytes);
            offsets_[slot] = offset;
        }
    }
    arena_ = std::move(compacted);
}

} // namespace nexdir::detail
