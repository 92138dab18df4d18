#include "DefaultsStore.h"

namespace nexdir {

int64_t InMemoryDefaults::integer(const std::string& key) const {
    std::lock_guard guard(lock_);
    auto found = integers_.find(key);
    return found == integers_.end() ? 0 : found->second;
}

void InMemoryDefaults::setInteger(const std::string& key, int64_t value) {
    std::lock_guard guard(lock_);
    integers_[key] = value;
}

bool InMemoryDefaults::boolean(const std::string& key) const {
    return integer(key) != 0;
}

void InMemoryDefaults::setBoolean(const std::string& key, bool value) {
    setInteger(key, value ? 1 : 0);
}

std::vector<std::string> InMemoryDefaults::stringList(const std::string& key) const {
    std::lock_guard guard(lock_);
    auto found = lists_.find(key);
    return found == lists_.end() ? std::vector<std::string>() : found->second;
}

void InMemoryDefaults::setStringList(const std::string& key,
                                     const std::vector<std::string>& value) {
    std::lock_guard guard(lock_);
    lists_[key] = value;
}

} // namespace nexdir
