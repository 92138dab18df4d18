#include "CoverageModel.h"

#include "AppStrings.h"
#include "PathText.h"

namespace quelmo {

void CoverageModel::setSnapshot(CoverageSnapshot snapshot) {
    snapshot_ = std::move(snapshot);
    loading_ = false;
    Q_EMIT changed();
}

CoverageModel::Header CoverageModel::header(const CoverageSnapshot& snapshot, bool loading) {
    static const QString letFinish = "Let this finish. Coverage below describes the last "
                                     "completed scan and may change.";
    Header header;
    if (snapshot.error) {
        header = {"Coverage unavailable", *snapshot.error};
    } else if (snapshot.busy && snapshot.verifying) {
        header = {"Checking your index", letFinish};
    } else if (snapshot.busy) {
        header = {strings::coverageIndexing, letFinish};
    } else if (!snapshot.completed) {
        header = {"Your first index is not ready yet",
                  "Coverage will be available after the first scan finishes."};
    } else if (snapshot.needsRecovery) {
        // Before unreadable paths: a stale index misleads more than a few missing folders.
        header = {"Your index needs verification",
                  "You can search the saved index, but recent changes may be missing. Verify it "
                  "to resume synchronization."};
    } else if (snapshot.inaccessibleCount > 0) {
        header = {"Some locations could not be read",
                  "Search works for indexed files. Unreadable locations may contain files that "
                  "are missing from results."};
    } else {
        header = {"No unreadable locations recorded",
                  "Search covers accessible files on internal volumes, with the exclusions "
                  "listed below."};
    }
    if (loading) {
        header.title = "Reading index coverage\u2026";
    }
    bool unreadable = snapshot.inaccessibleCount > 0;
    header.symbol = snapshot.busy ? Symbol::busy
                    : snapshot.needsRecovery || unreadable || snapshot.error ? Symbol::attention
                                                                              : Symbol::covered;
    header.tone = snapshot.error || snapshot.needsRecovery ? Tone::attention
                  : snapshot.busy                           ? Tone::busy
                  : unreadable                              ? Tone::attention
                                                            : Tone::good;
    return header;
}

const std::vector<std::string>& CoverageModel::paths(Tab tab) const {
    static const std::vector<std::string> none;
    switch (tab) {
    case Tab::unreadable:
        return snapshot_.paths;
    case Tab::yourExclusions:
        return snapshot_.excluded;
    case Tab::builtIn:
        break;
    }
    return none;
}

std::vector<std::string> CoverageModel::filtered(const std::vector<std::string>& paths,
                                                 const QString& filter) {
    if (filter.isEmpty()) {
        return paths;
    }
    std::vector<std::string> shown;
    for (const std::string& path : paths) {
        if (displayedPath(path).contains(filter, Qt::CaseInsensitive)) {
            shown.push_back(path);
        }
    }
    return shown;
}

QString CoverageModel::readFailure(const QString& description) {
    return "Could not read index coverage. Try reopening this window. Details: " + description;
}

} // namespace quelmo
