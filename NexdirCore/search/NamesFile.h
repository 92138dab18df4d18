#pragma once

// The names file: a name catalogue saved beside the index as it is held in memory, so that a
// launch reads it in one go instead of stepping through every row (5 s at 5,000,000 entries).
//
// The file carries the names stamp the index held when it was saved (SearchIndex::stampNames).
// Any change to the entries deletes that stamp in the same transaction, so a file whose stamp
// the index still holds holds exactly the index's entries. The file is written whole under
// another name, synced and then renamed over the old one: a file at the path is complete or
// absent, whatever stopped the writer. Its lengths, every offset and identifier, and a checksum
// of all its bytes are checked before anything in it is used.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nexdir::detail {

class NameCatalogue;

class NamesFile {
public:
    // Writes `catalogue` with `stamp` to `path`, 0600. Throws FileSystemError.
    static void save(const std::string& path, const NameCatalogue& catalogue,
                     const std::string& stamp);

    struct Loaded {
        std::unique_ptr<NameCatalogue> catalogue; // absent when the file cannot be used
        std::string ignoredBecause;               // why, in words for the debug log
    };
    // The catalogue in the file at `path`, when it carries `stamp` and reads back whole.
    // Never throws for what the file holds.
    static Loaded load(const std::string& path, const std::string& stamp);

private:
    // The sizes and times the catalogue keeps aside by identifier, as arrays.
    struct Aside {
        std::vector<uint32_t> largeIDs;
        std::vector<int64_t> largeValues;
        std::vector<uint32_t> oddIDs;
        std::vector<double> oddValues;
    };
    // The sections after the header, in file order, each one contiguous run of bytes.
    template <typename Catalogue, typename Visit>
    static void eachSection(Catalogue& catalogue, Aside& aside, Visit visit);
};

} // namespace nexdir::detail
