#include "core/output_log.h"

#include "core/file_trust.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace outputlog {

namespace {

constexpr std::size_t ReadSize = std::size_t{64} * 1024;
constexpr std::size_t MaxPiece = std::size_t{16} * 1024;
constexpr std::int64_t IdleMs = 500;
constexpr std::size_t TailBytes = std::size_t{64} * 1024;
constexpr std::size_t ShownChars = 300;
// "2026-12-09T21:03:04.123+01:00"
constexpr std::size_t StampLength = 29;

std::int64_t steadyMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string stampNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto at = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
    return timeStamp(at);
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(std::string_view text, std::size_t at, std::size_t count, int &value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool writeAllOnce(int fd, const char *data, std::size_t size, std::size_t &written, int &error) {
    written = 0;
    error = 0;
    // A short write is followed by one more, which names the reason (ENOSPC,
    // EFBIG); no further retries, so a full disk never holds the logger.
    for (int attempt = 0; attempt < 2 && written < size;) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ++attempt;
        if (n < 0) {
            error = errno;
            return false;
        }
        written += static_cast<std::size_t>(n);
        if (n == 0) {
            break;
        }
    }
    if (written < size && error == 0) {
        error = EIO;
    }
    return written == size;
}

/// The folder part of `path`, and its name in that folder.
std::string folderOf(const std::string &path) {
    const auto cut = path.rfind('/');
    return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}
std::string nameOf(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

/// Why another account could change the open folder of `path` now; empty
/// when none could.
std::string folderProblem(int folder, const std::string &path) {
    struct stat info {};
    if (::fstat(folder, &info) != 0) {
        return std::strerror(errno);
    }
    return core::exposureReason("its folder " + folderOf(path), info);
}

/// The folder of `path`, opened; an empty descriptor with `problem` set when
/// it cannot be.
core::UniqueFd openFolder(const std::string &path, std::string &problem) {
    core::UniqueFd fd(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        problem = std::strerror(errno);
    }
    return fd;
}

/// The output file `name` in the open `folder`, as openOutputFile opens it.
int openIn(int folder, const std::string &name, std::string &problem) {
    const int fd =
        ::openat(folder, name.c_str(),
                 O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        const bool seen = ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        if (error == ELOOP && seen && S_ISLNK(info.st_mode)) {
            problem = "is a symbolic link";
        } else if (seen && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            problem = "is not a regular file"; // a FIFO without a reader: ENXIO
        } else {
            problem = std::strerror(error);
        }
        return -1;
    }
    core::UniqueFd file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        problem = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        problem = "is not a regular file";
        return -1;
    }
    // Only this user's own file: another account could read what is written.
    problem = info.st_uid != ::geteuid()
                  ? "the file belongs to another user (uid " + std::to_string(info.st_uid) + ")"
                  : core::exposureReason("the file", info);
    if (!problem.empty()) {
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        problem = std::strerror(errno);
        return -1;
    }
    return file.release();
}

/// The output being written: its size, its rotation, and what a full disk dropped.
class Sink {
public:
    Sink(int fd, std::string path, const Limits &limits)
        : fd_(fd), path_(std::move(path)), name_(nameOf(path_)), limits_(limits) {
        struct stat info {};
        if (::fstat(fd_, &info) == 0) {
            size_ = static_cast<std::uint64_t>(info.st_size);
        }
        if (limits_.maxBytes == 0) {
            limits_.maxBytes = 1;
        }
        limits_.files = std::clamp(limits_.files, 1, 99);
        // Opened once: a folder renamed or swapped for a link later moves
        // no rotation elsewhere. Its trust is judged at each rotation.
        folder_ = openFolder(path_, folderOpenProblem_);
    }
    ~Sink() {
        if (fd_ != originalFd_) {
            ::close(fd_);
        }
    }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    /// Starts a batch: the note of earlier losses comes first.
    void begin(std::string &data, std::vector<std::size_t> &ends, const std::string &stamp) {
        data.clear();
        ends.clear();
        noteEnd_ = 0;
        if (dropped_ > 0) {
            if (midLine_) {
                data += '\n';
            }
            data += stamp;
            data += " --- ";
            data += std::to_string(dropped_);
            data += dropped_ == 1 ? " line dropped: " : " lines dropped: ";
            data += dropReason_;
            data += '\n';
            ends.push_back(data.size());
            noteEnd_ = data.size();
        }
    }

    /// Writes a batch whose lines end at `ends`.
    void write(const std::string &data, const std::vector<std::size_t> &ends) {
        std::size_t pos = 0;
        std::size_t line = 0;
        while (pos < data.size()) {
            const std::size_t rest = data.size() - pos;
            std::size_t take = rest;
            if (size_ + rest > limits_.maxBytes) {
                const std::uint64_t room = limits_.maxBytes > size_ ? limits_.maxBytes - size_ : 0;
                // Whole lines that fit.
                std::size_t fit = pos;
                for (std::size_t i = line; i < ends.size() && ends[i] - pos <= room; ++i) {
                    fit = ends[i];
                }
                take = fit - pos;
                if (take == 0 && size_ == 0) {
                    take = static_cast<std::size_t>(std::min<std::uint64_t>(room, rest));
                }
                if (take == 0) {
                    if (rotate()) {
                        continue;
                    }
                    // Writing on would take the file past its cap for as long as this lasts.
                    stalled(ends, pos);
                    return;
                }
            }
            std::size_t written = 0;
            int error = 0;
            const bool whole = writeAllOnce(fd_, data.data() + pos, take, written, error);
            size_ += written;
            if (!whole) {
                failed(ends, pos + written, std::strerror(error));
                return;
            }
            pos += take;
            while (line < ends.size() && ends[line] <= pos) {
                ++line;
            }
            if (noteEnd_ > 0 && pos >= noteEnd_) {
                dropped_ = 0;
                midLine_ = false;
                noteEnd_ = 0;
            }
        }
        if (!data.empty()) {
            midLine_ = false;
        }
    }

    /// At the end: one more try to tell what was lost.
    void finish() {
        if (dropped_ > 0) {
            std::string data;
            std::vector<std::size_t> ends;
            begin(data, ends, stampNow());
            write(data, ends);
        }
    }

private:
    void failed(const std::vector<std::size_t> &ends, std::size_t at, const std::string &reason) {
        std::size_t lost = 0;
        bool partial = false;
        for (std::size_t i = 0; i < ends.size(); ++i) {
            if (ends[i] <= at) {
                continue;
            }
            const std::size_t start = i == 0 ? 0 : ends[i - 1];
            if (start < at) {
                partial = true;
            }
            if (ends[i] > noteEnd_) {
                ++lost;
            }
        }
        if (noteEnd_ > 0 && at >= noteEnd_) {
            dropped_ = 0; // told; new losses start a new count
        }
        if (dropped_ == 0) {
            dropReason_ = reason;
        }
        dropped_ += lost;
        midLine_ = (midLine_ && at == 0) || partial;
    }

    /// The lines from `at` on are dropped; the first time since the last
    /// rotation, the file says why, one line past its cap.
    void stalled(const std::vector<std::size_t> &ends, std::size_t at) {
        failed(ends, at, notRotated_);
        if (stallTold_) {
            return;
        }
        stallTold_ = true;
        std::string note = midLine_ ? "\n" : "";
        note += stampNow() + " --- " + notRotated_ + "; new lines are dropped until it can be\n";
        std::size_t written = 0;
        int error = 0;
        if (writeAllOnce(fd_, note.data(), note.size(), written, error)) {
            midLine_ = false;
        }
        size_ += written;
    }

    bool rotate() {
        const auto now = steadyMs();
        if (rotateFailedAt_ != 0 && now - rotateFailedAt_ < 1000) {
            return false;
        }
        std::string problem;
        const bool done = rotateLocked(problem);
        rotateFailedAt_ = done ? 0 : std::max<std::int64_t>(now, 1);
        if (done) {
            stallTold_ = false;
        } else {
            notRotated_ = "not rotated: " + path_ + ": " + problem;
        }
        return done;
    }

    bool rotateLocked(std::string &problem) {
        if (!folder_) {
            problem = folderOpenProblem_;
            return false;
        }
        problem = folderProblem(folder_.get(), path_);
        if (!problem.empty()) {
            return false;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                problem = std::strerror(errno);
                return false;
            }
        }
        struct stat mine {};
        struct stat named {};
        const bool sameFile =
            ::fstat(fd_, &mine) == 0 &&
            ::fstatat(folder_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
        if (!sameFile) {
            // Another logger of the same file rotated it already, or it was moved.
            ::flock(fd_, LOCK_UN);
            return reopen(problem);
        }
        if (limits_.files == 1) {
            const bool emptied = ::ftruncate(fd_, 0) == 0;
            problem = emptied ? "" : std::strerror(errno);
            ::flock(fd_, LOCK_UN);
            if (emptied) {
                size_ = 0;
                midLine_ = false;
            }
            return emptied;
        }
        const int folder = folder_.get();
        for (int i = limits_.files - 2; i >= 1; --i) {
            ::renameat(folder, (name_ + "." + std::to_string(i)).c_str(), folder,
                       (name_ + "." + std::to_string(i + 1)).c_str());
        }
        const bool moved = ::renameat(folder, name_.c_str(), folder, (name_ + ".1").c_str()) == 0;
        if (!moved) {
            problem = std::strerror(errno);
        }
        const bool reopened = moved && reopen(problem);
        ::flock(fd_, LOCK_UN);
        return reopened;
    }

    bool reopen(std::string &problem) {
        const int fd = openIn(folder_.get(), name_, problem);
        if (fd < 0) {
            return false;
        }
        struct stat info {};
        ::fstat(fd, &info);
        if (fd_ != originalFd_) {
            ::close(fd_);
        }
        fd_ = fd;
        size_ = static_cast<std::uint64_t>(info.st_size);
        midLine_ = false;
        return true;
    }

    int fd_;
    const int originalFd_ = fd_;
    std::string path_;
    std::string name_;
    core::UniqueFd folder_;
    std::string folderOpenProblem_;
    Limits limits_;
    std::uint64_t size_ = 0;
    std::uint64_t dropped_ = 0;
    std::string dropReason_;
    bool midLine_ = false;
    std::size_t noteEnd_ = 0;
    std::int64_t rotateFailedAt_ = 0;
    std::string notRotated_;
    bool stallTold_ = false;
};

struct Stream {
    int fd;
    const char *tag;
    bool open = true;
    std::string partial;
    std::int64_t lastData = 0;
};

/// Where a piece of `text` longer than the piece size ends: not inside a
/// UTF-8 sequence, unless the text is not UTF-8 at all.
std::size_t pieceEnd(std::string_view text) {
    if (text.size() <= MaxPiece) {
        return text.size();
    }
    std::size_t end = MaxPiece;
    while (end > MaxPiece - 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80 ? MaxPiece : end;
}

void appendLine(std::string &data, std::vector<std::size_t> &ends, const std::string &prefix,
                std::string_view text) {
    do {
        const std::size_t piece = pieceEnd(text);
        data += prefix;
        data.append(text.data(), piece);
        data += '\n';
        ends.push_back(data.size());
        text.remove_prefix(piece);
    } while (!text.empty());
}

std::string linePrefix(const std::string &stamp, const char *tag) {
    std::string prefix = stamp;
    prefix += ' ';
    prefix += tag;
    prefix += ' ';
    return prefix;
}

/// Lines of `chunk` for `stream`: complete lines, and pieces of a partial
/// line that reached the piece size.
void frame(Stream &stream, std::string_view chunk, const std::string &prefix, std::string &data,
           std::vector<std::size_t> &ends) {
    while (!chunk.empty()) {
        const auto *newline =
            static_cast<const char *>(std::memchr(chunk.data(), '\n', chunk.size()));
        if (!newline) {
            stream.partial.append(chunk.data(), chunk.size());
            break;
        }
        std::string_view text(chunk.data(), static_cast<std::size_t>(newline - chunk.data()));
        chunk.remove_prefix(text.size() + 1);
        if (!stream.partial.empty()) {
            stream.partial.append(text.data(), text.size());
            text = stream.partial;
        }
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        appendLine(data, ends, prefix, text);
        stream.partial.clear();
    }
    std::size_t cut = 0;
    while (stream.partial.size() - cut >= MaxPiece) {
        const std::string_view rest = std::string_view(stream.partial).substr(cut);
        const std::size_t piece = pieceEnd(rest.substr(0, MaxPiece + 1));
        appendLine(data, ends, prefix, rest.substr(0, piece));
        cut += piece;
    }
    stream.partial.erase(0, cut);
}

void flushPartial(Stream &stream, const std::string &prefix, std::string &data,
                  std::vector<std::size_t> &ends) {
    if (stream.partial.empty()) {
        return;
    }
    std::string_view text = stream.partial;
    if (!stream.open && text.back() == '\r') {
        text.remove_suffix(1);
    }
    appendLine(data, ends, prefix, text);
    stream.partial.clear();
}

} // namespace

Limits limitsFrom(int kib, int files) {
    Limits limits;
    if (kib > 0) {
        limits.maxBytes = static_cast<std::uint64_t>(kib) * 1024;
    }
    limits.files = std::clamp(files, 1, 99);
    return limits;
}

std::string timeStamp(std::chrono::system_clock::time_point at) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(at.time_since_epoch()).count();
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const int millis = static_cast<int>(ms - seconds * 1000);
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    if (!::localtime_r(&t, &local)) {
        return {};
    }
    char head[32];
    const std::size_t length = std::strftime(head, sizeof head, "%Y-%m-%dT%H:%M:%S", &local);
    long offset = local.tm_gmtoff;
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) {
        offset = -offset;
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld", millis, sign, offset / 3600,
                  offset / 60 % 60);
    return std::string(head, length) + tail;
}

std::int64_t lineTime(const std::string &line) {
    const std::string_view text = line;
    if (text.size() < StampLength || (text.size() > StampLength && text[StampLength] != ' ')) {
        return -1;
    }
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
    for (std::size_t i = 0; i < StampLength; ++i) {
        const char want = shape[i];
        if (want == 'd'   ? (text[i] < '0' || text[i] > '9')
            : want == '+' ? (text[i] != '+' && text[i] != '-')
                          : text[i] != want) {
            return -1;
        }
    }
    int year, month, day, hour, minute, second, millis, offHours, offMinutes;
    digits(text, 0, 4, year);
    digits(text, 5, 2, month);
    digits(text, 8, 2, day);
    digits(text, 11, 2, hour);
    digits(text, 14, 2, minute);
    digits(text, 17, 2, second);
    digits(text, 20, 3, millis);
    digits(text, 24, 2, offHours);
    digits(text, 27, 2, offMinutes);
    static constexpr int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || hour > 23 ||
        minute > 59 || second > 60 || offHours > 23 || offMinutes > 59) {
        return -1;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) {
        return -1;
    }
    const std::int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    std::int64_t seconds =
        days * 86400 + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
    const std::int64_t offset = std::int64_t{offHours} * 3600 + std::int64_t{offMinutes} * 60;
    seconds += text[23] == '+' ? -offset : offset;
    return seconds * 1000 + millis;
}

int openOutputFile(const std::string &path, std::string &problem) {
    const core::UniqueFd folder = openFolder(path, problem);
    if (!folder || !(problem = folderProblem(folder.get(), path)).empty()) {
        return -1;
    }
    return openIn(folder.get(), nameOf(path), problem);
}

int run(int out, int err, int file, const std::string &path, const Limits &limits) {
    Sink sink(file, path, limits);
    Stream streams[2] = {{out, "out", true, {}, 0}, {err, "err", true, {}, 0}};
    for (auto &stream : streams) {
        // Woken by poll, a read must still not wait should another reader
        // have taken the data first.
        const int flags = ::fcntl(stream.fd, F_GETFL);
        if (flags >= 0) {
            ::fcntl(stream.fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    std::string buffer(ReadSize, '\0');
    std::string data;
    std::vector<std::size_t> ends;
    data.reserve(ReadSize * 2);

    while (streams[0].open || streams[1].open) {
        pollfd fds[2];
        nfds_t count = 0;
        Stream *polled[2];
        std::int64_t now = steadyMs();
        int timeout = -1;
        for (auto &stream : streams) {
            if (stream.open) {
                fds[count] = {stream.fd, POLLIN, 0};
                polled[count++] = &stream;
                if (!stream.partial.empty()) {
                    const auto left = std::max<std::int64_t>(0, stream.lastData + IdleMs - now);
                    timeout = timeout < 0 ? static_cast<int>(left)
                                          : std::min(timeout, static_cast<int>(left));
                }
            }
        }
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) {
            return 1;
        }
        std::string stamp;
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].revents & POLLNVAL) {
                polled[i]->open = false;
            }
            Stream &stream = *polled[i];
            ssize_t n = 0;
            if (stream.open) {
                n = ::read(stream.fd, buffer.data(), buffer.size());
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
            }
            stamp = stampNow();
            sink.begin(data, ends, stamp);
            const std::string prefix = linePrefix(stamp, stream.tag);
            if (n > 0) {
                stream.lastData = steadyMs();
                frame(stream, std::string_view(buffer.data(), static_cast<std::size_t>(n)), prefix,
                      data, ends);
            } else {
                stream.open = false;
                flushPartial(stream, prefix, data, ends);
            }
            if (!ends.empty()) {
                sink.write(data, ends);
            }
        }
        now = steadyMs();
        for (auto &stream : streams) {
            if (stream.open && !stream.partial.empty() && now - stream.lastData >= IdleMs) {
                if (stamp.empty()) {
                    stamp = stampNow();
                }
                sink.begin(data, ends, stamp);
                flushPartial(stream, linePrefix(stamp, stream.tag), data, ends);
                sink.write(data, ends);
            }
        }
    }
    sink.finish();
    return 0;
}

namespace {

/// The lines of the last 64 KiB of `path` in the time window, oldest first.
std::vector<std::string> tailLines(const std::string &path, std::int64_t fromMs,
                                   std::int64_t toMs) {
    std::vector<std::string> lines;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return lines;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return lines;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t start = size > TailBytes ? size - TailBytes : 0;
    std::string text(static_cast<std::size_t>(size - start), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n =
            ::pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(start + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    std::string_view rest = text;
    if (start > 0) {
        const auto newline = rest.find('\n');
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    }
    while (!rest.empty()) {
        const auto newline = rest.find('\n');
        std::string line(rest.substr(0, newline));
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
        const auto at = lineTime(line);
        if (at >= fromMs && at < toMs) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

/// `line` shortened to the characters shown, its control characters spelled out.
std::string shown(const std::string &line) {
    std::string result;
    std::size_t i = 0;
    while (i < line.size()) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            if (result.size() + 4 > ShownChars) {
                break;
            }
            static constexpr char hex[] = "0123456789ABCDEF";
            result += "\\x";
            result += hex[byte >> 4];
            result += hex[byte & 0xF];
            ++i;
            continue;
        }
        // A UTF-8 sequence goes whole or not at all.
        std::size_t length = 1;
        if (byte >= 0xC0) {
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            std::size_t j = 1;
            while (j < length && i + j < line.size() &&
                   (static_cast<unsigned char>(line[i + j]) & 0xC0) == 0x80) {
                ++j;
            }
            length = j;
        }
        if (result.size() + length > ShownChars) {
            break;
        }
        result.append(line, i, length);
        i += length;
    }
    return result;
}

} // namespace

std::vector<std::string> lastLines(const std::string &path, std::size_t count, std::int64_t fromMs,
                                   std::int64_t toMs) {
    std::vector<std::string> lines;
    if (count == 0) {
        return lines;
    }
    lines = tailLines(path, fromMs, toMs);
    if (lines.size() < count) {
        auto older = tailLines(path + ".1", fromMs, toMs);
        older.insert(older.end(), std::make_move_iterator(lines.begin()),
                     std::make_move_iterator(lines.end()));
        lines = std::move(older);
    }
    if (lines.size() > count) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    }
    for (auto &line : lines) {
        line = shown(line);
    }
    return lines;
}

} // namespace outputlog
