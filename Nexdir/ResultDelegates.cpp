#include "ResultDelegates.h"

#include "FileTypeIcons.h"
#include "ResultsModel.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

namespace quelmo {

namespace {

const QColor selectionColor(58, 92, 160);
const QColor primaryText(235, 235, 235);
const QColor secondaryText(150, 150, 150);

void paintSelection(QPainter* painter, const QStyleOptionViewItem& option) {
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(option.rect, selectionColor);
    }
}

} // namespace

void FileNameDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    painter->save();
    paintSelection(painter, option);
    auto result = index.model()->data(index, Qt::DisplayRole).toString();
    auto location = index.model()->data(index, ResultsModel::LocationRole).toString();
    const auto& model = static_cast<const ResultsModel&>(*index.model());
    const auto& entry = model.results()[size_t(index.row())];

    QRect area = option.rect.adjusted(10, 6, -8, -6);
    QIcon icon =
        FileTypeIcons::shared().icon(QString::fromStdString(entry.name), entry.isDirectory);
    icon.paint(painter, QRect(area.left(), area.top() + (area.height() - 32) / 2, 32, 32));
    QRect text = area.adjusted(44, 0, 0, 0);

    QFont nameFont = option.font;
    nameFont.setPointSizeF(13);
    painter->setFont(nameFont);
    painter->setPen(primaryText);
    QFontMetrics nameMetrics(nameFont);
    painter->drawText(QRect(text.left(), text.top(), text.width(), text.height() / 2 + 2),
                      Qt::AlignLeft | Qt::AlignBottom,
                      nameMetrics.elidedText(result, Qt::ElideRight, text.width()));

    QFont locationFont = option.font;
    locationFont.setPointSizeF(11);
    painter->setFont(locationFont);
    painter->setPen(option.state & QStyle::State_Selected ? primaryText : secondaryText);
    QFontMetrics locationMetrics(locationFont);
    painter->drawText(
        QRect(text.left(), text.top() + text.height() / 2 + 2, text.width(), text.height() / 2 - 2),
        Qt::AlignLeft | Qt::AlignTop,
        locationMetrics.elidedText(location, Qt::ElideMiddle, text.width()));
    painter->restore();
}

QSize FileNameDelegate::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    return {QStyledItemDelegate::sizeHint(option, index).width(), 54};
}

void SizeBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    painter->save();
    paintSelection(painter, option);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(11);
    painter->setFont(font);
    painter->setPen(option.state & QStyle::State_Selected ? primaryText : secondaryText);
    QString text = index.model()->data(index, Qt::DisplayRole).toString();
    QRect area = option.rect.adjusted(8, 0, -12, 0);
    painter->drawText(area, Qt::AlignRight | Qt::AlignVCenter,
                      QFontMetrics(font).elidedText(text, Qt::ElideLeft, area.width()));

    double fraction = index.model()->data(index, ResultsModel::BarFractionRole).toDouble();
    if (fraction > 0) {
        QRectF track(option.rect.left() + 8, option.rect.top() + 5,
                     std::max(0, option.rect.width() - 16), 3);
        QPainterPath trackPath;
        trackPath.addRoundedRect(track, 1.5, 1.5);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->fillPath(trackPath, QColor(255, 255, 255, 26));
        QRectF filled = track;
        filled.setWidth(track.width() * std::min(fraction, 1.0));
        QPainterPath filledPath;
        filledPath.addRoundedRect(filled, 1.5, 1.5);
        painter->fillPath(filledPath, QColor(52, 199, 89));
    }
    painter->restore();
}

} // namespace quelmo
