#include "ResultsModel.h"

#include "AppStrings.h"
#include "Format.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>

namespace quelmo {

void ResultsModel::setResults(std::vector<nexdir::SearchResult> results) {
    beginResetModel();
    results_ = std::move(results);
    endResetModel();
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(results_.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columns;
}

QString ResultsModel::abbreviatedLocation(const QString& path) {
    int slash = path.lastIndexOf('/');
    QString folder = slash <= 0 ? QString("/") : path.left(slash);
    QString home = QDir::homePath();
    if (home != "/" && (folder == home || folder.startsWith(home + "/"))) {
        return "~" + folder.mid(home.size());
    }
    return folder;
}

QString ResultsModel::sizeText(const nexdir::SearchResult& result) {
    if (result.isDirectory) {
        return {};
    }
    if (!result.allocatedSize) {
        return "Size unavailable";
    }
    // The engine's byte format, so the panel and every engine message count bytes alike.
    return QString::fromStdString(nexdir::formatFileBytes(*result.allocatedSize)) + " on disk";
}

void ResultsModel::setNameTitle(const QString& title) {
    if (title != nameTitle_) {
        nameTitle_ = title;
        Q_EMIT headerDataChanged(Qt::Horizontal, nameColumn, nameColumn);
    }
}

void ResultsModel::setSizeTitle(const QString& title) {
    if (title != sizeTitle_) {
        sizeTitle_ = title;
        Q_EMIT headerDataChanged(Qt::Horizontal, sizeColumn, sizeColumn);
    }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return section == nameColumn       ? nameTitle_
           : section == modifiedColumn ? QString("Date modified")
                                       : sizeTitle_;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(results_.size())) {
        return {};
    }
    const nexdir::SearchResult& result = results_[size_t(index.row())];
    QString path = QString::fromStdString(result.path);
    if (index.column() == 0) {
        switch (role) {
        case Qt::DisplayRole: {
            QString name = QString::fromStdString(result.name);
            if (result.isInTrash()) {
                name += " [Trash]";
            }
            if (result.isDataless) {
                name += " [Cloud only]";
            }
            return name;
        }
        case LocationRole:
            return abbreviatedLocation(path);
        case Qt::AccessibleTextRole:
            // What a screen reader says of the row: the icon and the second line are drawn.
            return data(index, Qt::DisplayRole).toString() +
                   (result.isDirectory ? ", folder, in " : ", file, in ") +
                   abbreviatedLocation(path);
        case Qt::ToolTipRole:
            return path;
        default:
            break;
        }
    } else if (index.column() == modifiedColumn) {
        if (role == Qt::DisplayRole) {
            return QLocale::system().toString(
                QDateTime::fromMSecsSinceEpoch(qint64(result.modifiedAt * 1000)),
                QLocale::ShortFormat);
        }
        if (role == Qt::TextAlignmentRole) {
            return int(Qt::AlignRight | Qt::AlignVCenter);
        }
    } else {
        switch (role) {
        case Qt::DisplayRole:
            return sizeText(result);
        case Qt::ToolTipRole:
            return result.isDirectory ? QVariant() : QString(strings::allocatedSizeToolTip);
        case BarFractionRole: {
            if (!showsBars_ || results_.empty()) {
                return 0.0;
            }
            double first = double(results_.front().allocatedSize.value_or(1));
            return double(result.allocatedSize.value_or(0)) / std::max(first, 1.0);
        }
        default:
            break;
        }
    }
    return {};
}

} // namespace quelmo
