#pragma once
// A descriptor owned by one object: closed when that object goes, handed on
// by moving. Every descriptor Perstando keeps past one function sits in one.

#include <utility>

namespace core {

class UniqueFd {
public:
    UniqueFd() = default;
    /// Takes `fd` (-1 for none) to close it later.
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    /// Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    /// Closes the descriptor held, if any, and takes `fd`.
    void reset(int fd = -1) noexcept;
    /// A second descriptor of the same open file (close-on-exec); an empty
    /// one when there is none or the system refuses.
    UniqueFd duplicate() const noexcept;

private:
    int fd_ = -1;
};

} // namespace core
