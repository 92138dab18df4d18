#pragma once

#include "IndexCoverage.h"

#include <QObject>
#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace quelmo {

// What the coverage window shows: the index's own account of what it covers, and what the
// application is doing with it as it was read.
struct CoverageSnapshot : nexdir::IndexCoverage {
    bool busy = false;      // indexing, verifying, or running the launch check
    bool verifying = false; // verifying
    // Set when the read failed: the whole message the window shows.
    std::optional<QString> error;
};

// The coverage window's state, published to it: the last snapshot, and whether the first is
// still being read. Main thread only; snapshots are read elsewhere and handed over here.
class CoverageModel : public QObject {
    Q_OBJECT
public:
    enum class Symbol { busy, attention, covered };
    enum class Tone { attention, busy, good };
    struct Header {
        QString title;
        QString explanation;
        Symbol symbol = Symbol::covered;
        Tone tone = Tone::good;
    };
    enum class Tab { unreadable = 0, yourExclusions = 1, builtIn = 2 };

    using QObject::QObject;

    const CoverageSnapshot& snapshot() const { return snapshot_; }
    bool loading() const { return loading_; }
    // The first snapshot ends the loading state.
    void setSnapshot(CoverageSnapshot snapshot);

    // The header: the first state that applies, top to bottom.
    static Header header(const CoverageSnapshot& snapshot, bool loading);
    Header header() const { return header(snapshot_, loading_); }
    // The paths of a list tab (none for the built-in one).
    const std::vector<std::string>& paths(Tab tab) const;
    // Those of `paths` whose text contains `filter`, ignoring case; all of them for an empty
    // filter.
    static std::vector<std::string> filtered(const std::vector<std::string>& paths,
                                             const QString& filter);

    static QString readFailure(const QString& description);

Q_SIGNALS:
    void changed();

private:
    CoverageSnapshot snapshot_;
    bool loading_ = true;
};

} // namespace quelmo
