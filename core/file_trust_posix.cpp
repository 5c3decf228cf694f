#include "core/file_trust.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace core {
namespace {

std::string nameOf(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd *found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    return found ? found->pw_name : "";
}

/// The group's entry, or false when it has none.
bool groupEntry(gid_t gid, group &entry, std::vector<char> &buffer) {
    group *found = nullptr;
    buffer.resize(4096);
    while (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr;
}

bool lookUpOtherMembers(gid_t gid) {
    const uid_t me = ::geteuid();
    const std::string myName = nameOf(me);
    const std::string rootName = nameOf(0);
    group entry{};
    std::vector<char> buffer;
    if (groupEntry(gid, entry, buffer)) {
        for (char **member = entry.gr_mem; member && *member; ++member) {
            if (*member != myName && *member != rootName) {
                return true;
            }
        }
    }
    bool others = false;
    std::vector<char> userBuffer(4096);
    passwd user{};
    passwd *next = nullptr;
    ::setpwent();
    for (;;) {
        const int error = ::getpwent_r(&user, userBuffer.data(), userBuffer.size(), &next);
        if (error == ERANGE) {
            userBuffer.resize(userBuffer.size() * 2);
            continue;
        }
        if (error != 0 || !next) {
            break;
        }
        if (user.pw_gid == gid && user.pw_uid != me && user.pw_uid != 0) {
            others = true;
            break;
        }
    }
    ::endpwent();
    return others;
}

bool groupHasOtherMembers(gid_t gid) {
    // Enumerating the accounts can be slow over a network directory, and the
    // settings are read for every key a window shows.
    static std::mutex mutex;
    static std::map<gid_t, bool> known;
    const std::lock_guard lock(mutex);
    const auto found = known.find(gid);
    if (found != known.end()) {
        return found->second;
    }
    return known[gid] = lookUpOtherMembers(gid);
}

std::string groupName(gid_t gid) {
    group entry{};
    std::vector<char> buffer;
    return groupEntry(gid, entry, buffer) ? std::string(entry.gr_name) : std::to_string(gid);
}

std::string reasonAt(const std::filesystem::path &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? exposureReason(path.string(), info) : "";
}

} // namespace

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

Exposure exposure(const struct stat &info) {
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        return Exposure::AnotherOwner;
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return Exposure::EveryUser;
    }
    if ((info.st_mode & S_IWGRP) != 0 && groupHasOtherMembers(info.st_gid)) {
        return Exposure::GroupMembers;
    }
    return Exposure::None;
}

std::string exposureReason(const std::string &name, const struct stat &info) {
    switch (exposure(info)) {
    case Exposure::None:
        return {};
    case Exposure::AnotherOwner:
        return name + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    case Exposure::GroupMembers:
        return name + " can be changed by other members of group " + groupName(info.st_gid) +
               " (mode " + modeText(info.st_mode) + ")";
    case Exposure::EveryUser:
        return name + " can be changed by every user (mode " + modeText(info.st_mode) + ")";
    }
    return {};
}

std::string settingsExposure(const std::filesystem::path &file) {
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    if (auto why = reasonAt(folder); !why.empty()) {
        return why;
    }
    struct stat info {};
    if (::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        std::error_code ec;
        const auto target = std::filesystem::weakly_canonical(file, ec);
        if (!ec) {
            if (auto why = reasonAt(target.parent_path()); !why.empty()) {
                return why;
            }
        }
    }
    return reasonAt(file);
}

} // namespace core
