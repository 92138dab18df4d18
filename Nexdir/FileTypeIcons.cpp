#include "FileTypeIcons.h"

#include <QApplication>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStyle>

namespace quelmo {

FileTypeIcons& FileTypeIcons::shared() {
    static FileTypeIcons icons;
    return icons;
}

QString FileTypeIcons::cacheKey(const QString& name, bool isDirectory) {
    if (isDirectory) {
        return "folder";
    }
    QString extension = QFileInfo(name).suffix().toLower();
    return "file:" + (extension.size() > 64 ? QString() : extension);
}

QIcon FileTypeIcons::icon(const QString& name, bool isDirectory) {
    QString key = cacheKey(name, isDirectory);
    if (auto found = cache_.find(key); found != cache_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second.second);
        return found->second.first;
    }
    QIcon icon;
    if (isDirectory) {
        icon = QIcon::fromTheme("folder");
    } else {
        static QMimeDatabase database;
        QString extension = key.mid(5);
        QMimeType type =
            extension.isEmpty()
                ? database.mimeTypeForName("application/octet-stream")
                : database.mimeTypeForFile("x." + extension, QMimeDatabase::MatchExtension);
        icon =
            QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName(),
                                                               QIcon::fromTheme("text-x-generic")));
    }
    if (icon.isNull()) {
        // Without an icon theme (a bare X server), the style's own folder and file icons.
        icon = QApplication::style()->standardIcon(isDirectory ? QStyle::SP_DirIcon
                                                               : QStyle::SP_FileIcon);
    }
    recent_.push_front(key);
    cache_[key] = {icon, recent_.begin()};
    if (cache_.size() > capacity) {
        cache_.erase(recent_.back());
        recent_.pop_back();
    }
    return icon;
}

} // namespace quelmo
