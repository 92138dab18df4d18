#pragma once

#include "MatchHighlight.h"
#include "SearchResult.h"

#include <QAbstractTableModel>

#include <vector>

namespace quelmo {

// The rows of the results list: the name cell (name and folder), the date modified, the size.
class ResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { nameColumn, modifiedColumn, sizeColumn, columns };
    enum Role { ResultRole = Qt::UserRole + 1, LocationRole, SizeTextRole, BarFractionRole };

    using QAbstractTableModel::QAbstractTableModel;

    void setResults(std::vector<nexdir::SearchResult> results);
    const std::vector<nexdir::SearchResult>& results() const { return results_; }
    void setShowsBars(bool showsBars) { showsBars_ = showsBars; }
    // The query the rows answer, whose matches the list marks.
    void setQuery(const QString& query) { highlight_ = MatchHighlight(query); }
    const MatchHighlight& highlight() const { return highlight_; }
    // The name column's title, which says when the list is in folder order.
    void setNameTitle(const QString& title);
    // The size column's title, which says when the list is ranked by it.
    void setSizeTitle(const QString& title);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // Column titles, which the list's header sorts by.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // "~/Documents" for a folder under the home folder.
    static QString abbreviatedLocation(const QString& path);
    static QString sizeText(const nexdir::SearchResult& result);

private:
    std::vector<nexdir::SearchResult> results_;
    bool showsBars_ = false;
    MatchHighlight highlight_{QString()};
    QString nameTitle_ = "Name";
    QString sizeTitle_ = "Size";
};

} // namespace quelmo
