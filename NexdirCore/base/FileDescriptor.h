#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <utility>

namespace nexdir {

// An owned file descriptor, closed once when the object goes. -1 holds nothing.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Hands the descriptor over to an owner of another kind (fdopendir, say).
    int release() { return std::exchange(fd_, -1); }
    bool valid() const { return fd_ >= 0; }

    // Closes what is held (a close error leaves nothing to retry: the descriptor is gone
    // either way) and holds `fd` instead.
    // errno is kept: a caller often reads it for the call that gave `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Writes all `size` bytes, however many calls it takes; false with errno set (EIO where the
// system wrote nothing and said nothing) when it cannot.
inline bool writeFully(int fd, const void* data, size_t size) {
    auto bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += written;
        size -= size_t(written);
    }
    return true;
}

} // namespace nexdir
