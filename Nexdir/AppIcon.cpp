#include "AppIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace quelmo {

QIcon applicationIcon() {
    // Drawn here rather than loaded as an icon file, which would need Qt's SVG icon plugin at
    // run time; the renderer is linked in, so a missing plugin cannot blank the icon again.
    QSvgRenderer drawing(QStringLiteral(":/icons/quelmo.svg"));
    if (!drawing.isValid()) {
        return QIcon::fromTheme("system-search");
    }
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        drawing.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace quelmo
