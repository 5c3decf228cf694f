#pragma once
// One running Perstando per program folder.

#include <string>

namespace core {

/// Held for as long as the object lives; the system releases it when the
/// process ends, however it ends.
class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    ~InstanceLock();

    /// True when this process now holds the lock for `folder`; false when
    /// another process holds it.
    bool tryAcquire(const std::string &folder);

private:
    int fd_ = -1;
};

} // namespace core
