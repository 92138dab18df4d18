// Name search: the two passes, the catalogue kept in step, result paths and scores.

#include "NameSearch.h"

#include "CandidateQuery.h"
#include "Clock.h"
#include "DebugLog.h"
#include "FilteredListing.h"
#include "Format.h"
#include "NamesFile.h"
#include "NameCatalogue.h"
#include "Normalize.h"
#include "Paths.h"
#include "Query.h"
#include "QueryFilter.h"
#include "QueryWords.h"
#include "RankedCandidates.h"
#include "Ranking.h"
#include "SQLite.h"
#include "Unicode.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace nexdir {

using namespace detail;

namespace {

constexpr int maximumLimit = 1000;
constexpr int progressInstructions = 1000;

int progressCallback(void* context) {
    return static_cast<SearchCancellation*>(context)->isCancelled() ? 1 : 0;
}

// Installs the cancellation check on the reader for the duration of one search.
class ProgressHandler {
public:
    ProgressHandler(sqlite3* db, SearchCancellation* token) : db_(token ? db : nullptr) {
        if (db_) {
            sqlite3_progress_handler(db_, progressInstructions, progressCallback, token);
        }
    }
    ~ProgressHandler() {
        if (db_) {
            sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        }
    }
    ProgressHandler(const ProgressHandler&) = delete;
    ProgressHandler& operator=(const ProgressHandler&) = delete;

private:
    sqlite3* db_;
};

// One pass's plain statement over every candidate.
std::vector<IndexedEntry> plainCandidates(sqlite3* reader, const std::string& query,
                                          const QueryWords& words, int limit, bool directories,
                                          const std::vector<int64_t>& groupedFolderIDs) {
    if (limit < 1) {
        return {};
    }
    CandidateQuery built = candidateQuery(query, words, directories, groupedFolderIDs);
    CandidateSource source = candidateSource(query, words);
    if (!source.parameter.empty()) {
        built.parameters.push_back(source.parameter);
    }
    return runCandidateStatement(
        reader, candidateStatement(built, source.from, source.narrowing, limit), built.parameters);
}

// Results with their paths, from `catalogue` when given, from the rows otherwise. An entry
// whose chain of parents is broken has no path and is left out.
std::vector<SearchResult> results(SearchIndex::Reader& reader,
                                  const std::vector<IndexedEntry>& entries,
                                  const NameCatalogue* catalogue) {
    if (!catalogue) {
        return reader.results(entries);
    }
    std::vector<int64_t> ids;
    ids.reserve(entries.size());
    for (const IndexedEntry& entry : entries) {
        ids.push_back(entry.id);
    }
    return SearchResult::fromRows(entries, catalogue->paths(ids));
}

// A folder pass, then a file pass that leaves out what lies in a listed folder: folders take at
// most half of the places (at least one), files fill the rest.
template <typename Pass> std::vector<SearchResult> foldersThenFiles(int limit, Pass&& pass) {
    std::vector<SearchResult> folders = pass(std::max(limit, 2) / 2, true, {});
    std::vector<int64_t> folderIDs;
    for (const SearchResult& folder : folders) {
        folderIDs.push_back(folder.id);
    }
    std::vector<SearchResult> files = pass(limit - int(folders.size()), false, folderIDs);
    size_t folderCount = std::min(folders.size(), size_t(limit) - files.size());
    std::vector<SearchResult> combined(folders.begin(), folders.begin() + long(folderCount));
    combined.insert(combined.end(), files.begin(), files.end());
    return combined;
}

} // namespace

std::atomic<bool> NameSearch::rankedScan_{true};

NameSearch::NameSearch(SearchIndex& index) : index_(index) {}

NameSearch::~NameSearch() = default;

SearchResponse NameSearch::search(const std::string& query, int limit,
                                  const std::shared_ptr<SearchCancellation>& cancellation) {
    uint64_t started = uptimeNanoseconds();
    ParsedQuery parsed = parseQuery(query, unixSeconds());
    if (!parsed.plain) {
        return searchParsed(parsed, query.find('\0') != std::string::npos ? 0 : limit, cancellation,
                            started);
    }
    std::string q = normalizeForSearch(trimmedWhitespace(query));
    std::vector<std::string> tokens = whitespaceSeparatedWords(q);
    // A query that folds down to white space alone (a lone accent, say) asks for nothing, and
    // no file name holds a NUL character.
    if (q.empty() || tokens.empty() || limit < 1 || q.find('\0') != std::string::npos) {
        return {};
    }
    limit = std::min(limit, maximumLimit);
    QueryWords words(tokens);

    SearchResponse response;
    // One read: one snapshot for both passes and the path lookups.
    index_.read([&](SearchIndex::Reader& reader) {
        if (cancellation && cancellation->isCancelled()) {
            throw SearchCancelledError();
        }
        // Loading the catalogue is not cancelled: the next search would only start it again.
        const NameCatalogue* catalogue = rankedScan_ ? synchronizedCatalogue(reader) : nullptr;
        ProgressHandler handler(reader.connection(), cancellation.get());
        try {
            response.results = passes(reader, q, words, limit, catalogue, cancellation.get());
        } catch (const CatalogueMismatch&) {
            discardCatalogue(reader, "a search found the name catalogue out of step with the index",
                             false);
            response.results = passes(reader, q, words, limit, nullptr, cancellation.get());
        }
    });
    for (SearchResult& result : response.results) {
        result.score = Ranking::score(normalizeForSearch(result.name), q, words);
    }
    response.durationMilliseconds = double(uptimeNanoseconds() - started) / 1'000'000.0;
    return response;
}

std::vector<SearchResult> NameSearch::passes(SearchIndex::Reader& reader, const std::string& q,
                                             const QueryWords& words, int limit,
                                             const NameCatalogue* catalogue,
                                             const SearchCancellation* cancellation) {
    std::optional<RankedCandidates> ranked;
    if (rankedScan_) {
        ranked.emplace(reader.connection(), q, words, catalogue, cancellation);
    }
    auto pass = [&](int passLimit, bool directories, const std::vector<int64_t>& grouped) {
        return results(reader,
                       ranked ? ranked->select(passLimit, directories, grouped)
                              : plainCandidates(reader.connection(), q, words, passLimit,
                                                directories, grouped),
                       catalogue);
    };
    return foldersThenFiles(limit, pass);
}

SearchResponse NameSearch::searchParsed(const ParsedQuery& parsed, int limit,
                                        const std::shared_ptr<SearchCancellation>& cancellation,
                                        uint64_t started) {
    // Terms that fold down to nothing ask for nothing, as an empty query does.
    if (limit < 1 || (parsed.words.empty() && parsed.filter.children.empty())) {
        return {};
    }
    limit = std::min(limit, maximumLimit);
    std::string q;
    for (const std::string& word : parsed.words) {
        q += (q.empty() ? "" : " ") + word;
    }
    std::optional<QueryWords> words;
    if (!parsed.words.empty()) {
        words.emplace(parsed.words);
    }
    SearchResponse response;
    index_.read([&](SearchIndex::Reader& reader) {
        if (cancellation && cancellation->isCancelled()) {
            throw SearchCancelledError();
        }
        // Filters test sizes, times and folders held in memory: without the catalogue kept in
        // step, this search loads its own from its snapshot.
        const NameCatalogue* catalogue = synchronizedCatalogue(reader);
        std::unique_ptr<NameCatalogue> own;
        auto loadOwn = [&] {
            own = std::make_unique<NameCatalogue>();
            if (!own->load(reader.connection())) {
                throw NexdirError::sqlite("Filters cannot search this index: its identifiers are "
                                          "too sparse to hold in memory. Reindex to use them.");
            }
            catalogue = own.get();
        };
        if (!catalogue) {
            loadOwn();
        }
        ProgressHandler handler(reader.connection(), cancellation.get());
        auto run = [&] {
            QueryFilter filter(parsed.filter, *catalogue, reader.connection());
            if (words) {
                RankedCandidates ranked(reader.connection(), q, *words, catalogue,
                                        cancellation.get(),
                                        filter.acceptsEverything() ? nullptr : &filter);
                return foldersThenFiles(limit, [&](int passLimit, bool directories,
                                                   const std::vector<int64_t>& grouped) {
                    return results(reader, ranked.select(passLimit, directories, grouped),
                                   catalogue);
                });
            }
            // Filters alone: each entry on its own merits, nothing left to a listed folder.
            FilteredListing listing(*catalogue, filter, cancellation.get(), limit);
            return foldersThenFiles(
                limit, [&](int passLimit, bool directories, const std::vector<int64_t>&) {
                    return results(
                        reader,
                        rowsInOrder(reader.connection(), listing.select(passLimit, directories)),
                        catalogue);
                });
        };
        try {
            response.results = run();
        } catch (const CatalogueMismatch&) {
            if (own) {
                throw NexdirError::sqlite("Search failed: the index changed while it was read");
            }
            discardCatalogue(reader, "a search found the name catalogue out of step with the index",
                             false);
            loadOwn();
            response.results = run();
        }
    });
    if (words) {
        for (SearchResult& result : response.results) {
            result.score = Ranking::score(normalizeForSearch(result.name), q, *words);
        }
    }
    response.durationMilliseconds = double(uptimeNanoseconds() - started) / 1'000'000.0;
    return response;
}

void NameSearch::prepare() {
    if (!rankedScan_) {
        return;
    }
    index_.read([&](SearchIndex::Reader& reader) { synchronizedCatalogue(reader); });
}

void NameSearch::settle() {
    if (!rankedScan_) {
        return;
    }
    index_.read([&](SearchIndex::Reader& reader) {
        if (synchronizedCatalogue(reader)) {
            catalogue_->trim();
        }
    });
}

const NameCatalogue* NameSearch::synchronizedCatalogue(SearchIndex::Reader& reader) {
    if (!catalogueEnabled_) {
        return nullptr;
    }
    SearchIndex::RowChanges changes = reader.followRowChanges(catalogue_ != nullptr);
    switch (changes.kind) {
    case SearchIndex::RowChanges::Kind::unavailable:
        ++searchesFromRows_;
        return nullptr;
    case SearchIndex::RowChanges::Kind::changes:
        for (const EntryChange& change : changes.changes) {
            if (!catalogue_->apply(change)) {
                // Until a reset or an install rewrites the file, trying again would fail the
                // same way.
                discardCatalogue(reader, "an identifier is too large for the name catalogue", true);
                return nullptr;
            }
        }
        break;
    case SearchIndex::RowChanges::Kind::reload: {
        catalogue_.reset();
        std::unique_ptr<NameCatalogue> loaded = savedCatalogue(reader);
        if (!loaded) {
            double started = uptimeSeconds();
            loaded = std::make_unique<NameCatalogue>();
            if (!loaded->load(reader.connection())) {
                discardCatalogue(reader, "identifiers too large or sparse for the name catalogue",
                                 true);
                return nullptr;
            }
            DebugLog::write("names loaded from rows entries=" + std::to_string(loaded->count()) +
                            " seconds=" + shortestDecimal(uptimeSeconds() - started));
        }
        catalogue_ = std::move(loaded);
        break;
    }
    }
    if (catalogue_->count() != size_t(changes.total) ||
        catalogue_->directories() != size_t(changes.directories)) {
        // The counters are kept by the database's own triggers, so they are the check on
        // what the hooks reported.
        discardCatalogue(reader, "the name catalogue's counts differ from the index's",
                         !changes.committedOnly);
        return nullptr;
    }
    return catalogue_.get();
}

std::unique_ptr<NameCatalogue> NameSearch::savedCatalogue(SearchIndex::Reader& reader) {
    double started = uptimeSeconds();
    std::string path = index_.namesFilePath();
    std::optional<std::string> stamp = reader.namesStamp();
    NamesFile::Loaded loaded;
    if (stamp) {
        loaded = NamesFile::load(path, *stamp);
    } else {
        struct stat info {};
        loaded.ignoredBecause = ::stat(path.c_str(), &info) == 0
                                    ? "stale: the index changed since it was saved"
                                    : "missing";
    }
    if (!loaded.catalogue) {
        DebugLog::write("names file not used reason=" + loaded.ignoredBecause);
        return nullptr;
    }
    ++namesFileLoads_;
    DebugLog::write("names loaded from file entries=" + std::to_string(loaded.catalogue->count()) +
                    " seconds=" + shortestDecimal(uptimeSeconds() - started));
    return std::move(loaded.catalogue);
}

bool NameSearch::saveNames() {
    if (!catalogueEnabled_ || !rankedScan_) {
        return false;
    }
    try {
        // The stamp first: the entries saved below are those of a snapshot that still holds
        // it, so no change came between the two, and any change after deletes it.
        std::optional<std::string> stamp = index_.stampNames();
        if (!stamp) {
            DebugLog::write("names file not saved reason=a full scan is loading rows");
            return false;
        }
        bool saved = false;
        index_.read([&](SearchIndex::Reader& reader) {
            if (!catalogue_) {
                DebugLog::write("names file not saved reason=no names are held");
                return;
            }
            double started = uptimeSeconds();
            const NameCatalogue* catalogue = synchronizedCatalogue(reader);
            if (!catalogue || reader.namesStamp() != stamp) {
                DebugLog::write("names file not saved reason=the index is being written");
                return;
            }
            NamesFile::save(index_.namesFilePath(), *catalogue, *stamp);
            DebugLog::write("names file saved entries=" + std::to_string(catalogue->count()) +
                            " seconds=" + shortestDecimal(uptimeSeconds() - started));
            saved = true;
        });
        return saved;
    } catch (const std::exception& error) {
        DebugLog::write(std::string("names file not saved error=") + error.what());
        return false;
    }
}

size_t NameSearch::catalogueBytes() const {
    return catalogue_ ? catalogue_->bytes() : 0;
}

void NameSearch::discardCatalogue(SearchIndex::Reader& reader, const char* reason,
                                  bool permanently) {
    ++catalogueDiscards_;
    catalogue_.reset();
    reader.stopFollowingRowChanges(permanently);
    DebugLog::write(std::string("Search reads rows: ") + reason);
}

} // namespace nexdir
