#include "SettingsDefaults.h"

#include "Unicode.h"

namespace quelmo {

int64_t SettingsDefaults::integer(const std::string& key) const {
    return settings_.value(QString::fromStdString(key), 0).toLongLong();
}

void SettingsDefaults::setInteger(const std::string& key, int64_t value) {
    settings_.setValue(QString::fromStdString(key), qlonglong(value));
    settings_.sync();
}

bool SettingsDefaults::boolean(const std::string& key) const {
    return settings_.value(QString::fromStdString(key), false).toBool();
}

void SettingsDefaults::setBoolean(const std::string& key, bool value) {
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
}

std::vector<std::string> SettingsDefaults::stringList(const std::string& key) const {
    std::vector<std::string> values;
    for (const QString& value : settings_.value(QString::fromStdString(key)).toStringList()) {
        values.push_back(nexdir::unescapedBytes(value.toStdString()));
    }
    return values;
}

void SettingsDefaults::setStringList(const std::string& key,
                                     const std::vector<std::string>& value) {
    QStringList list;
    for (const auto& item : value) {
        list << QString::fromStdString(nexdir::escapedUTF8(item));
    }
    settings_.setValue(QString::fromStdString(key), list);
    settings_.sync();
}

} // namespace quelmo
