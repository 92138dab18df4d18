#pragma once

#include "MatchHighlight.h"
#include "SearchResult.h"

#include <QAbstractTableModel>

#include <vector>

namespace quelmo {

// The rows of the results list: column 0 the name cell, column 1 the size cell.
class ResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role { ResultRole = Qt::UserRole + 1, LocationRole, SizeTextRole, BarFractionRole };

    using QAbstractTableModel::QAbstractTableModel;

    void setResults(std::vector<nexdir::SearchResult> results);
    const std::vector<nexdir::SearchResult>& results() const { return results_; }
    void setShowsBars(bool showsBars) { showsBars_ = showsBars; }
    // The query the rows answer, whose matches the list marks.
    void setQuery(const QString& query) { highlight_ = MatchHighlight(query); }
    const MatchHighlight& highlight() const { return highlight_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // Column titles: the list shows none, but a screen reader reads them.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // "~/Documents" for a folder under the home folder.
    static QString abbreviatedLocation(const QString& path);
    static QString sizeText(const nexdir::SearchResult& result);

private:
    std::vector<nexdir::SearchResult> results_;
    bool showsBars_ = false;
    MatchHighlight highlight_{QString()};
};

} // namespace quelmo
