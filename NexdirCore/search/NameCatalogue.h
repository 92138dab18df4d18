#pragma once

// The search names, parents, kinds, sizes and modification times of every entry, in memory
// (internal to the index store).
//
// A search ranks, filters by kind, tests ancestors and groups its candidates from this copy
// instead of reading rows, and reads rows only for the ones it returns. The copy is exact for
// the snapshot a search reads: the writer connection's hooks journal every committed change
// to `entries`, and a search applies the journal while no write is in flight (see
// `RowChangeJournal`); anything the journal cannot follow (a reset, an installed copy, a
// change from another process) makes the next search load the copy again from its snapshot.

#include "MappedAllocator.h"
#include "RowChangeJournal.h"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nexdir::detail {

// length() of a TEXT value as SQLite computes it: characters before the first NUL, a
// character being a lead byte and the continuation bytes after it.
int64_t sqliteTextLength(std::string_view text);

class NameCatalogue {
public:
    // Loads every row visible to `reader`'s open read transaction. False when the
    // identifiers are too large or too sparse to hold here; the catalogue is then empty.
    bool load(sqlite3* reader);

    // False when a change cannot be held (an identifier out of range); the catalogue must
    // then be loaded again.
    bool apply(const EntryChange& change);

    bool contains(int64_t id) const {
        return id > 0 && uint64_t(id) < flags_.size() && (flags_[size_t(id)] & present) != 0;
    }
    bool isDirectory(int64_t id) const { return (flags_[size_t(id)] & directory) != 0; }
    int64_t parent(int64_t id) const { return parents_[size_t(id)]; }
    std::string_view searchName(int64_t id) const {
        const char* at = arena_.data() + offsets_[size_t(id)];
        return readCounted(at);
    }
    int64_t size(int64_t id) const {
        uint32_t size = sizes_[size_t(id)];
        return size != largeSize ? size : largeSizes_.at(uint32_t(id));
    }
    // The modification time rounded down to a whole second. The date filters' bounds are
    // whole seconds, and a time is at or after such a bound exactly when its whole second is.
    double modifiedSecond(int64_t id) const {
        int32_t second = modifiedSeconds_[size_t(id)];
        return second != oddSecond ? double(second) : oddSeconds_.at(uint32_t(id));
    }
    // The stored name, which orders entries of equal rank: a view of the catalogue's bytes,
    // or of `scratch` where it is kept as changes to the search name.
    std::string_view name(int64_t id, std::string& scratch) const;
    size_t nameLength(int64_t id) const;
    // At most nameLength(id), and read from the per-entry values alone for the names with as
    // many characters as their search names: these have at least cappedLength(id) bytes.
    size_t nameLengthAtLeast(int64_t id) const {
        return (flags_[size_t(id)] & sameCharacters) != 0 ? cappedLengths_[size_t(id)]
                                                          : nameLength(id);
    }
    // Orders two entries by their stored names, bytewise.
    int compareNames(int64_t a, int64_t b) const;
    // The first byte of every search name, by identifier; 0 where no entry is held.
    const uint8_t* firstBytes() const { return firstBytes_.data(); }
    // A 64-bit mark of the byte pairs of every search name, by identifier; 0 where no entry
    // is held. A name contains a text only if its mark has every bit of the text's mark.
    const uint64_t* pairMarks() const { return pairMarks_.data(); }
    static uint64_t pairMark(std::string_view text);
    // A byte standing for the text after the last dot of a search name, by identifier: a name
    // ends with "." + E only if its mark is extensionMark(the text after E's last dot).
    uint8_t extensionMark(int64_t id) const { return extensionMarks_[size_t(id)]; }
    static uint8_t extensionMark(std::string_view extension);
    // About how many times the byte triples of `text` occur in all names, summed (what a
    // trigram-index lookup of `text` reads), and for the rarest one alone (a bound on the
    // names the lookup returns); 0 for a text of under 3 bytes.
    uint64_t tripleOccurrences(std::string_view text) const;
    uint64_t rarestTripleOccurrences(std::string_view text) const;
    // length(search_name) as SQLite counts it, capped as the rank caps it (Ranking::lengthCap).
    int cappedLength(int64_t id) const { return cappedLengths_[size_t(id)]; }
    // Asks for what reading a held entry and then its name touch, ahead of the reads: scans
    // that keep few of the entries they pass wait on memory for each one otherwise.
    void prefetchEntry(int64_t id) const {
        __builtin_prefetch(&flags_[size_t(id)]);
        __builtin_prefetch(&parents_[size_t(id)]);
        __builtin_prefetch(&offsets_[size_t(id)]);
        __builtin_prefetch(&cappedLengths_[size_t(id)]);
    }
    void prefetchName(int64_t id) const {
        __builtin_prefetch(arena_.data() + offsets_[size_t(id)]);
    }
    // One past the largest identifier held; identifiers below it may be absent.
    int64_t idLimit() const { return int64_t(flags_.size()); }

    // The full path of each entry whose chain of parents reaches a volume root (parent 0):
    // the root's name, then each name below it as a path component.
    std::unordered_map<int64_t, std::string> paths(const std::vector<int64_t>& ids) const;

    // Gives back the room that loading and changes left unused: taken when the index is idle,
    // since every later change may need some of it again.
    void trim();

    size_t count() const { return count_; }
    // The bytes the catalogue holds, room reserved for growth included.
    size_t bytes() const;
    size_t directories() const { return directories_; }

private:
    friend class NamesFile; // saves and loads the arrays as they are

    // One value for every identifier, or every name's bytes: many megabytes each.
    template <typename T> using Slots = std::vector<T, MappedAllocator<T>>;
    using Arena = std::basic_string<char, std::char_traits<char>, MappedAllocator<char>>;

    static constexpr uint8_t present = 1;
    static constexpr uint8_t directory = 2;
    static constexpr size_t tripleBuckets = 1 << 16;
    // How the stored name follows the search name in the arena (flags_ & nameForm).
    static constexpr uint8_t nameForm = 12;
    static constexpr uint8_t nameSame = 0;
    static constexpr uint8_t nameCapitalized = 4; // the first letter upper case, nothing kept
    static constexpr uint8_t nameEdited = 8;      // edits of the search name (see nameEdits)
    static constexpr uint8_t nameWhole = 12;      // the stored name itself, counted
    // The stored name has as many characters as the search name (as sqliteTextLength counts).
    static constexpr uint8_t sameCharacters = 16;
    static constexpr uint32_t largeSize = UINT32_MAX;
    static constexpr int32_t oddSecond = INT32_MIN;
    static constexpr uint8_t longCount = 255;

    static std::string_view readCounted(const char*& at) {
        size_t length = uint8_t(*at++);
        if (length == longCount) {
            length = size_t(uint8_t(at[0])) | size_t(uint8_t(at[1])) << 8;
            at += 2;
        }
        std::string_view text(at, length);
        at += length;
        return text;
    }
    static void appendCounted(Arena& arena, std::string_view text);
    size_t entryBytes(int64_t id) const;
    // As entryBytes, for a slot whose record may run past the arena or not read as one.
    std::optional<size_t> checkedEntryBytes(size_t slot) const;
    // After the arrays were read from a names file: true when every entry's record reads back
    // within the arena and every size or time kept aside is there; then sets the counts.
    bool verifySaved();
    void setSize(size_t slot, int64_t size);
    void setModifiedAt(size_t slot, double modifiedAt);
    static size_t tripleBucket(const char* bytes);
    void countTriples(std::string_view name, int step);

    bool fits(int64_t id, int64_t parent, size_t nameLength) const;
    void put(int64_t id, int64_t parent, bool isDirectory, std::string_view name,
             std::string_view searchName, int64_t size, double modifiedAt);
    void remove(int64_t id);
    void compactIfWasteful();
    void compact(size_t spare);
    // Every slot vector holds `size` slots; one that must grow reserves `room` (at least
    // `size`), which costs nothing until written.
    void resizeSlots(size_t size, size_t room = 0);
    void reserveArena(size_t bytes);
    template <typename Self, typename Apply> static void eachSlotVector(Self& self, Apply apply) {
        apply(self.flags_);
        apply(self.firstBytes_);
        apply(self.pairMarks_);
        apply(self.extensionMarks_);
        apply(self.cappedLengths_);
        apply(self.parents_);
        apply(self.sizes_);
        apply(self.modifiedSeconds_);
        apply(self.offsets_);
    }

    // Indexed by identifier.
    Slots<uint8_t> flags_;
    Slots<uint8_t> firstBytes_; // first byte of the search name, for prefix scans
    Slots<uint64_t> pairMarks_; // for substring scans
    Slots<uint8_t> extensionMarks_; // for filters by extension
    Slots<uint8_t> cappedLengths_;
    std::vector<uint32_t> tripleCounts_ = std::vector<uint32_t>(tripleBuckets, 0);
    Slots<uint32_t> parents_;
    // Sizes and times in 32 bits, for filters by size and by date; the few that do not fit
    // are kept aside by identifier.
    Slots<uint32_t> sizes_;            // largeSize: in largeSizes_
    Slots<int32_t> modifiedSeconds_;   // oddSecond: in oddSeconds_
    std::unordered_map<uint32_t, int64_t> largeSizes_;
    std::unordered_map<uint32_t, double> oddSeconds_;
    Slots<uint32_t> offsets_;
    // Each entry's search name, counted (one byte, or 255 and two more), then its stored name
    // as its form in flags_ says; removed and rewritten entries leave their bytes behind until
    // the arena is compacted.
    Arena arena_;
    size_t count_ = 0;
    size_t directories_ = 0;
    size_t liveBytes_ = 0;
};

} // namespace nexdir::detail
