#pragma once
// One running Perstando per program folder, per account.

#include <string>
#include <vector>

namespace core {

/// Held for as long as the object lives; the system releases it when the
/// process ends, however it ends. It is the account's own: another account
/// can neither hold it nor stand in for a copy of ours.
class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    ~InstanceLock();

    /// True when this process now holds the lock for `key` (a program folder,
    /// or a program's own path); false when another process of this account
    /// holds it. Also true when no private folder for the lock can be had:
    /// better a second copy than none.
    bool tryAcquire(const std::string &key);

    /// The holder's listening socket (non-blocking, close-on-exec) beside the
    /// lock, where later copies and commands of the same account can reach
    /// the running one; -1 when there is none.
    int listeningSocket() const { return socket_; }

    struct SocketPlace {
        std::string folder;
        std::string name; ///< the socket's file name in `folder`
    };
    /// Where the holder for `key` may listen, most likely first.
    static std::vector<SocketPlace> socketPlaces(const std::string &key);

    /// `folder` opened when it is one the holder would use: a real folder (no
    /// link) of this account that nobody else may enter or change; else -1,
    /// with errno EACCES when it is another account's or closed to us.
    static int openPrivateFolder(const std::string &folder);

    /// The socket address of `name` in the folder open as `folderFd`: its
    /// path, or the same file through the descriptor when the path is too
    /// long for an address; empty when neither fits.
    static std::string socketAddress(int folderFd, const std::string &folder,
                                     const std::string &name);

private:
    void release();

    std::vector<int> locks_;
    int socket_ = -1;
    std::string socketPath_;
};

} // namespace core
