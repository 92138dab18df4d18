#include "Paths.h"

#include <unistd.h>

#include <cerrno>

#include <vector>

namespace nexdir {

namespace {

std::string currentDirectory() {
    std::string buffer(4096, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

} // namespace

std::string standardizePath(std::string_view path) {
    std::string absolute;
    if (path.empty() || path.front() != '/') {
        absolute = currentDirectory();
        absolute += '/';
    }
    absolute += path;

    std::vector<std::string_view> components;
    std::string_view rest = absolute;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
            continue;
        }
        components.push_back(component);
    }
    if (components.empty()) {
        return "/";
    }
    std::string result;
    for (std::string_view component : components) {
        result += '/';
        result += component;
    }
    return result;
}

std::vector<std::string> standardizedAll(const std::vector<std::string>& paths) {
    std::vector<std::string> result;
    result.reserve(paths.size());
    for (const std::string& path : paths) {
        result.push_back(standardizePath(path));
    }
    return result;
}

bool isAtOrUnder(std::string_view path, std::string_view root) {
    if (root == "/") {
        return !path.empty() && path.front() == '/';
    }
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) {
        return false;
    }
    return path.size() == root.size() || path[root.size()] == '/';
}

const std::string* longestRootAbove(std::string_view path, const std::vector<std::string>& roots) {
    const std::string* best = nullptr;
    for (const std::string& root : roots) {
        if (isAtOrUnder(path, root) && (!best || root.size() > best->size())) {
            best = &root;
        }
    }
    return best;
}

std::string parentPath(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path == "/") {
        return "/";
    }
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string appendingPathComponent(std::string_view base, std::string_view component) {
    std::string result(base);
    if (result.empty() || result.back() != '/') {
        result += '/';
    }
    result += component;
    return result;
}

} // namespace nexdir
