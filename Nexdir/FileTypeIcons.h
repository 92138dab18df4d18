#pragma once

#include <QIcon>
#include <QString>

#include <list>
#include <unordered_map>

namespace quelmo {

// Icons by file type for the results list: the theme's icon of the MIME type the name
// suggests. Kept in a cache of 128 entries keyed "folder" or "file:" + lower-case extension.
// Main thread only.
class FileTypeIcons {
public:
    static FileTypeIcons& shared();
    QIcon icon(const QString& name, bool isDirectory);
    static QString cacheKey(const QString& name, bool isDirectory);

    static constexpr size_t capacity = 128;

private:
    std::list<QString> recent_; // most recently used first
    std::unordered_map<QString, std::pair<QIcon, std::list<QString>::iterator>> cache_;
};

} // namespace quelmo
