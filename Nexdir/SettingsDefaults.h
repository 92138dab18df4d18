#pragma once

#include "DefaultsStore.h"

#include <QSettings>

namespace quelmo {

// The user defaults, kept in Quelmo's settings file. A list of texts holds paths, which are
// bytes here: each is stored as the index stores such lists (escapedUTF8), so a path that is
// not UTF-8 reads back byte for byte, and one that is reads as it always did.
class SettingsDefaults : public nexdir::DefaultsStore {
public:
    int64_t integer(const std::string& key) const override;
    void setInteger(const std::string& key, int64_t value) override;
    bool boolean(const std::string& key) const override;
    void setBoolean(const std::string& key, bool value) override;
    std::vector<std::string> stringList(const std::string& key) const override;
    void setStringList(const std::string& key, const std::vector<std::string>& value) override;

private:
    mutable QSettings settings_{"Quelmo", "Quelmo"};
};

} // namespace quelmo
