#pragma once

#include <QLabel>
#include <QStringList>

namespace quelmo {

// The panel's one-line status. When a message is wider than the line, only the parts that
// name a file (its path or its name, wherever they stand in the message) are shortened, in
// their middle; what the message says about the file, such as an error's reason, is read
// whole. Only a line too narrow even for that is cut at its end. The tool tip and text()
// always hold the whole message. Main thread.
class StatusLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // `text` with the parts that may be shortened: every occurrence of each string in
    // `shortenable`, the longer strings taken first (a path before the name it ends with).
    void setMessage(const QString& text, const QStringList& shortenable);
    // The message as drawn at the present width.
    QString shownText() const;

    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    struct Piece {
        QString text;
        bool shortenable;
    };
    QList<Piece> pieces_; // the message, in order
};

} // namespace quelmo
