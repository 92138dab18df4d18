#include "StatusLabel.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace quelmo {

void StatusLabel::setMessage(const QString& text, const QStringList& shortenable) {
    pieces_ = {{text, false}};
    QStringList names = shortenable;
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& name : names) {
        if (name.isEmpty()) {
            continue;
        }
        QList<Piece> split;
        for (const Piece& piece : pieces_) {
            if (piece.shortenable) {
                split.append(piece);
                continue;
            }
            qsizetype start = 0;
            for (qsizetype found = piece.text.indexOf(name); found >= 0;
                 found = piece.text.indexOf(name, start)) {
                if (found > start) {
                    split.append({piece.text.mid(start, found - start), false});
                }
                split.append({name, true});
                start = found + name.size();
            }
            if (start < piece.text.size()) {
                split.append({piece.text.mid(start), false});
            }
        }
        pieces_ = split;
    }
    setText(text);
    setToolTip(text);
    update();
}

QString StatusLabel::shownText() const {
    const QFontMetrics metrics = fontMetrics();
    const QString whole = text();
    const int available = width();
    if (metrics.horizontalAdvance(whole) <= available) {
        return whole;
    }
    int fixedWidth = 0;
    int shortenableWidth = 0;
    int shortenableCount = 0;
    for (const Piece& piece : pieces_) {
        int pieceWidth = metrics.horizontalAdvance(piece.text);
        if (piece.shortenable) {
            shortenableWidth += pieceWidth;
            ++shortenableCount;
        } else {
            fixedWidth += pieceWidth;
        }
    }
    int room = available - fixedWidth;
    if (shortenableCount == 0 || room < shortenableCount * metrics.horizontalAdvance(u'\u2026')) {
        return metrics.elidedText(whole, Qt::ElideRight, available);
    }
    // Each name gives up room in proportion to its width, so a short name next to a long
    // path stays readable.
    QString shown;
    for (const Piece& piece : pieces_) {
        if (!piece.shortenable) {
            shown += piece.text;
            continue;
        }
        int share = int(qint64(room) * metrics.horizontalAdvance(piece.text) / shortenableWidth);
        shown += metrics.elidedText(piece.text, Qt::ElideMiddle, share);
    }
    return shown;
}

QSize StatusLabel::minimumSizeHint() const {
    // The line shortens its text instead of widening the window.
    return {20, QLabel::minimumSizeHint().height()};
}

void StatusLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        Q_EMIT clicked();
    }
    QLabel::mousePressEvent(event);
}

void StatusLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

} // namespace quelmo
