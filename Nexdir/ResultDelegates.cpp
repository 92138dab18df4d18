#include "ResultDelegates.h"

#include "FileTypeIcons.h"
#include "MatchHighlight.h"
#include "ResultsModel.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

namespace quelmo {

namespace {

const QColor selectionColor(58, 92, 160);
const QColor primaryText(235, 235, 235);
const QColor secondaryText(150, 150, 150);
const QColor accentText(100, 170, 255);

// `text` in `area` (left aligned, vertically as `alignment` says), its `marked` spans bold in
// the accent colour (white on a selected row, where the accent would not show).
void drawMarked(QPainter* painter, const QRect& area, Qt::Alignment alignment, const QString& text,
                const QList<TextSpan>& marked, const QFont& font, const QColor& colour,
                bool selected) {
    QFont bold = font;
    bold.setBold(true);
    int x = area.left();
    int at = 0;
    auto draw = [&](int from, int until, bool isMarked) {
        if (until <= from) {
            return;
        }
        QString piece = text.mid(from, until - from);
        const QFont& pieceFont = isMarked ? bold : font;
        painter->setFont(pieceFont);
        painter->setPen(isMarked ? (selected ? QColor(Qt::white) : accentText) : colour);
        QRect rest(x, area.top(), std::max(area.right() - x + 1, 0), area.height());
        painter->drawText(rest, Qt::AlignLeft | alignment | Qt::TextSingleLine, piece);
        x += QFontMetrics(pieceFont).horizontalAdvance(piece);
    };
    for (const TextSpan& span : marked) {
        if (span.start < at || span.start + span.length > text.size()) {
            continue;
        }
        draw(at, span.start, false);
        draw(span.start, span.start + span.length, true);
        at = span.start + span.length;
    }
    draw(at, int(text.size()), false);
}

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

    const MatchHighlight& highlight = model.highlight();
    bool selected = option.state & QStyle::State_Selected;

    // Widths are measured bold, so a marked name still fits where it was shortened to.
    QFont nameFont = option.font;
    nameFont.setPointSizeF(13);
    QFont boldName = nameFont;
    boldName.setBold(true);
    QList<TextSpan> inName = highlight.inName(result);
    int dot = entry.isDirectory ? -1 : int(result.lastIndexOf('.'));
    int extension = dot > 0 && result.size() - dot <= 12 ? dot : -1;
    QString shownName = elidedKeeping(result, QFontMetrics(boldName), text.width(),
                                      inName.isEmpty() ? -1 : inName.front().start, extension);
    // A shortened text is marked afresh, so that a word the ellipsis cut is not marked.
    drawMarked(painter, QRect(text.left(), text.top(), text.width(), text.height() / 2 + 2),
               Qt::AlignBottom, shownName,
               shownName == result ? inName : highlight.inName(shownName), nameFont, primaryText,
               selected);

    QFont locationFont = option.font;
    locationFont.setPointSizeF(11);
    QFont boldLocation = locationFont;
    boldLocation.setBold(true);
    QList<TextSpan> inLocation = highlight.inLocation(location);
    int lastFolder = int(location.lastIndexOf('/')) + 1;
    QString shownLocation =
        elidedKeeping(location, QFontMetrics(boldLocation), text.width(),
                      inLocation.isEmpty() ? -1 : inLocation.back().start,
                      lastFolder > 0 ? lastFolder : -1);
    drawMarked(painter,
               QRect(text.left(), text.top() + text.height() / 2 + 2, text.width(),
                     text.height() / 2 - 2),
               Qt::AlignTop, shownLocation,
               shownLocation == location ? inLocation : highlight.inLocation(shownLocation),
               locationFont, selected ? primaryText : secondaryText, selected);
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
