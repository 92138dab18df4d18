#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QAbstractButton>

#include <optional>

class QFrame;
class QLabel;
class QVBoxLayout;

namespace quelmo {

// What an index status text says at a glance: the indicator's title and colour, and whether
// the index is at work (a spinner) or short of the whole truth (orange).
struct IndexStatusLook {
    QString title;
    bool busy = false;
    bool degraded = false;

    static IndexStatusLook of(const QString& status);
    bool operator==(const IndexStatusLook&) const = default;
};

// The desktop asks for less animation (GNOME's "enable-animations" turned off): a busy
// indicator then keeps its icon instead of a spinner.
bool desktopReducesMotion();

// The tints the indicators use: green when all is well, orange when something needs a look.
QColor healthyTint();
QColor warningTint();

// One line of an indicator's card: a title, its value and, for a share of a whole, a bar.
struct Metric {
    QString title;
    QString value;
    std::optional<double> fraction;

    bool operator==(const Metric&) const = default;
};

// A small tinted icon (or a spinner while busy) and a title at the bottom of the panel; a
// click opens a card with a heading, the status and a line per metric. Main thread.
class StatusIndicator : public QAbstractButton {
    Q_OBJECT
public:
    enum class Symbol { index, disk };
    explicit StatusIndicator(Symbol symbol, QWidget* parent = nullptr);

    void setTitle(const QString& title);
    QString title() const;
    // The tool tip and what a screen reader says beyond the title.
    void setDetail(const QString& detail);
    QString detail() const { return detail_; }
    void setTint(const QColor& tint);
    QColor tint() const { return tint_; }
    // A spinner in the icon's place.
    void setBusy(bool busy);
    bool isBusy() const { return busy_; }
    void setCardTitle(const QString& title) { cardTitle_ = title; }
    void setStatusText(const QString& text) { statusText_ = text; }
    // The card's lines; a list equal to the one shown leaves the card as it is.
    void setMetrics(const QList<Metric>& metrics);
    const QList<Metric>& metrics() const { return metrics_; }
    // Builds the card's views again from the fields; how many times it was built, for tests.
    void refreshCard();
    int cardBuilds() const { return cardBuilds_; }
    void showDetails();
    QFrame* card() const { return card_; }

    QSize sizeHint() const override;
    // Narrower than its title when the panel's bottom row is full: the title is then cut.
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    Symbol symbol_;
    QString title_;
    QString detail_;
    QString cardTitle_;
    QString statusText_;
    QList<Metric> metrics_;
    QColor tint_;
    bool busy_ = false;
    int spinnerTimer_ = 0;
    int spinnerAngle_ = 0;
    int cardBuilds_ = 0;
    QFrame* card_ = nullptr;
    QVBoxLayout* cardLayout_ = nullptr;
};

} // namespace quelmo
