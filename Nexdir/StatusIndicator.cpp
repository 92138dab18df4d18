#include "StatusIndicator.h"

#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <gio/gio.h>

namespace quelmo {

namespace {

bool mentions(const QString& text, const char* phrase) {
    return text.contains(QLatin1String(phrase), Qt::CaseInsensitive);
}

const QColor titleColour(200, 200, 200);
const QColor secondaryColour(150, 150, 150);
constexpr int symbolSize = 14;

// A bar of `fraction` of the width, as the results list draws sizes.
class FractionBar : public QWidget {
public:
    explicit FractionBar(double fraction) : fraction_(fraction) { setFixedSize(120, 6); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath track;
        track.addRoundedRect(QRectF(rect()), 2, 2);
        painter.fillPath(track, QColor(255, 255, 255, 26));
        QRectF filled(rect());
        filled.setWidth(filled.width() * std::clamp(fraction_, 0.0, 1.0));
        QPainterPath bar;
        bar.addRoundedRect(filled, 2, 2);
        painter.fillPath(bar, healthyTint());
    }

private:
    double fraction_;
};

} // namespace

IndexStatusLook IndexStatusLook::of(const QString& status) {
    IndexStatusLook look;
    look.busy = mentions(status, "recovering changes") || mentions(status, "verifying") ||
                mentions(status, "indexing") || mentions(status, "preparing");
    look.degraded = mentions(status, "out of date") || mentions(status, "inaccessible") ||
                    mentions(status, "failed") || mentions(status, "partial");
    if (look.busy) {
        look.title = mentions(status, "recovering changes") ? "Updating"
                     : mentions(status, "verifying")        ? "Verifying"
                                                            : "Indexing";
    } else if (mentions(status, "out of date")) {
        look.title = "Out of date";
    } else {
        look.title = look.degraded ? "Partial index" : "Index";
    }
    return look;
}

bool desktopReducesMotion() {
    // Asking for a schema that is not installed aborts: look it up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    const char* schemaName = "org.gnome.desktop.interface";
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, schemaName, TRUE) : nullptr;
    if (!schema) {
        return false;
    }
    bool reduces = false;
    if (g_settings_schema_has_key(schema, "enable-animations")) {
        GSettings* settings = g_settings_new(schemaName);
        reduces = !g_settings_get_boolean(settings, "enable-animations");
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return reduces;
}

QColor healthyTint() {
    return QColor(52, 199, 89);
}

QColor warningTint() {
    return QColor(255, 149, 0);
}

StatusIndicator::StatusIndicator(Symbol symbol, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol), tint_(healthyTint()) {
    connect(this, &QAbstractButton::clicked, this, &StatusIndicator::showDetails);
    setCursor(Qt::PointingHandCursor);
    // Reached with Tab only by a keyboard user who asks for it; typing stays in the query.
    setFocusPolicy(Qt::TabFocus);
    // A button takes its whole title's width; an indicator gives way when the row is full.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    QFont small = font();
    small.setPointSize(11);
    setFont(small);

    card_ = new QFrame(this, Qt::Popup);
    card_->setAccessibleName(symbol == Symbol::index ? "Search index" : "Disk");
    card_->setStyleSheet("QFrame { background: #202020; border: 1px solid #3a3a3a; }"
                         "QLabel { border: none; color: #dcdcdc; }");
    cardLayout_ = new QVBoxLayout(card_);
    cardLayout_->setContentsMargins(14, 12, 14, 12);
    cardLayout_->setSpacing(6);
}

void StatusIndicator::setTitle(const QString& title) {
    if (title == title_) {
        return;
    }
    title_ = title;
    setAccessibleName(title);
    updateGeometry();
    update();
}

QString StatusIndicator::title() const {
    return title_;
}

void StatusIndicator::setDetail(const QString& detail) {
    detail_ = detail;
    setToolTip(detail);
    setAccessibleDescription(detail);
}

void StatusIndicator::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

void StatusIndicator::setBusy(bool busy) {
    if (busy == busy_) {
        return;
    }
    busy_ = busy;
    if (busy) {
        spinnerTimer_ = startTimer(80);
    } else {
        killTimer(spinnerTimer_);
        spinnerTimer_ = 0;
    }
    update();
}

void StatusIndicator::setMetrics(const QList<Metric>& metrics) {
    if (metrics == metrics_) {
        return;
    }
    metrics_ = metrics;
    refreshCard();
}

void StatusIndicator::refreshCard() {
    ++cardBuilds_;
    while (QLayoutItem* item = cardLayout_->takeAt(0)) {
        if (QWidget* view = item->widget()) {
            delete view;
        } else if (QLayout* rows = item->layout()) {
            while (QLayoutItem* row = rows->takeAt(0)) {
                delete row->widget();
                delete row;
            }
        }
        delete item;
    }
    auto* heading = new QLabel(cardTitle_);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    cardLayout_->addWidget(heading);
    if (!statusText_.isEmpty()) {
        auto* status = new QLabel(statusText_);
        status->setWordWrap(true);
        status->setMaximumWidth(320);
        status->setStyleSheet("color: #969696;");
        cardLayout_->addWidget(status);
    }
    auto* rows = new QGridLayout;
    rows->setHorizontalSpacing(12);
    int row = 0;
    for (const Metric& metric : metrics_) {
        rows->addWidget(new QLabel(metric.title), row, 0);
        auto* value = new QLabel(metric.value);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        rows->addWidget(value, row, 1);
        if (metric.fraction) {
            rows->addWidget(new FractionBar(*metric.fraction), row, 2, Qt::AlignVCenter);
        }
        ++row;
    }
    cardLayout_->addLayout(rows);
    card_->adjustSize();
}

void StatusIndicator::showDetails() {
    if (card_->isVisible()) {
        card_->hide();
        return;
    }
    card_->adjustSize();
    // Above the indicator, which sits at the bottom of the panel.
    QPoint at = mapToGlobal(QPoint(0, 0)) - QPoint(0, card_->sizeHint().height() + 4);
    card_->move(at);
    card_->show();
}

QSize StatusIndicator::sizeHint() const {
    return QSize(symbolSize + 6 + fontMetrics().horizontalAdvance(title_) + 4,
                 std::max(symbolSize, fontMetrics().height()) + 4);
}

QSize StatusIndicator::minimumSizeHint() const {
    return QSize(symbolSize + 6 + fontMetrics().horizontalAdvance("Index") + 4,
                 sizeHint().height());
}

void StatusIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF icon(1, (height() - symbolSize) / 2.0, symbolSize, symbolSize);
    QPen pen(tint_, 1.8);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    if (busy_) {
        painter.drawArc(icon.adjusted(1, 1, -1, -1), -spinnerAngle_ * 16, 270 * 16);
    } else if (symbol_ == Symbol::index) {
        // A magnifying glass.
        QRectF lens(icon.left() + 1, icon.top() + 1, 8.5, 8.5);
        painter.drawEllipse(lens);
        painter.drawLine(lens.bottomRight() - QPointF(1, 1), icon.bottomRight() - QPointF(1, 1));
    } else {
        // A drive: a rounded box with a light.
        QRectF box = icon.adjusted(0.5, 3, -0.5, -3);
        painter.drawRoundedRect(box, 2, 2);
        painter.setBrush(tint_);
        painter.drawEllipse(QPointF(box.right() - 3, box.center().y()), 1, 1);
    }
    painter.setPen(titleColour);
    QRect text = rect().adjusted(symbolSize + 6, 0, 0, 0);
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(title_, Qt::ElideRight, text.width()));
}

void StatusIndicator::timerEvent(QTimerEvent*) {
    spinnerAngle_ = (spinnerAngle_ + 30) % 360;
    update();
}

} // namespace quelmo
