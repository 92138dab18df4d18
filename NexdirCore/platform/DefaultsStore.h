#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

// The user defaults, as far as the engine needs them. The application backs this with its
// settings file; tests use InMemoryDefaults. Absent keys read as 0, false or an empty list.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    virtual int64_t integer(const std::string& key) const = 0;
    virtual void setInteger(const std::string& key, int64_t value) = 0;
    virtual bool boolean(const std::string& key) const = 0;
    virtual void setBoolean(const std::string& key, bool value) = 0;
    virtual std::vector<std::string> stringList(const std::string& key) const = 0;
    virtual void setStringList(const std::string& key, const std::vector<std::string>& value) = 0;
};

// A thread-safe DefaultsStore kept in memory.
class InMemoryDefaults : public DefaultsStore {
public:
    int64_t integer(const std::string& key) const override;
    void setInteger(const std::string& key, int64_t value) override;
    bool boolean(const std::string& key) const override;
    void setBoolean(const std::string& key, bool value) override;
    std::vector<std::string> stringList(const std::string& key) const override;
    void setStringList(const std::string& key, const std::vector<std::string>& value) override;

private:
    mutable std::mutex lock_;
    std::map<std::string, int64_t> integers_;               // guarded by lock_
    std::map<std::string, std::vector<std::string>> lists_; // guarded by lock_
};

} // namespace nexdir
