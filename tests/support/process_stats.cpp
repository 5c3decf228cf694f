#include "tests/support/process_stats.h"

#include "tests/support/test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

namespace testing_support {
namespace {

/// The fields of /proc/PID/stat after the name; fields[0] is the state
/// (field 3 of proc(5)). The name may hold blanks and parentheses.
std::vector<std::string> statFields(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream in(stat.substr(close + 1));
    for (std::string field; in >> field;) {
        fields.push_back(field);
    }
    return fields;
}

/// A "Vm...:" line of /proc/PID/status in KiB; -1 when the process is gone.
long statusKiB(pid_t pid, const std::string &field) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(field)) {
            return std::atol(line.c_str() + field.size());
        }
    }
    return -1;
}

} // namespace

int openDescriptors(pid_t pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    if (ec) {
        return -1;
    }
    int count = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) {
            return -1;
        }
        ++count;
    }
    return count;
}

int zombieChildren(pid_t pid) {
    int count = 0;
    DIR *dir = ::opendir("/proc");
    if (!dir) {
        return 0;
    }
    while (auto *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        const auto fields = statFields(static_cast<pid_t>(std::atoi(entry->d_name)));
        // fields[1] is the parent's pid.
        if (fields.size() > 1 && fields[0] == "Z" && std::atol(fields[1].c_str()) == pid) {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

long residentKiB(pid_t pid) {
    return statusKiB(pid, "VmRSS:");
}

long stackKiB(pid_t pid) {
    return statusKiB(pid, "VmStk:");
}

double cpuSeconds(pid_t pid) {
    const auto fields = statFields(pid);
    // utime and stime are fields 14 and 15 of proc(5), 11 and 12 here.
    if (fields.size() < 13) {
        return -1;
    }
    const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

char processState(pid_t pid) {
    const auto fields = statFields(pid);
    return fields.empty() || fields[0].empty() ? '\0' : fields[0][0];
}

long environmentNumber(const char *name, long fallback) {
    const char *text = std::getenv(name);
    if (!text || !*text) {
        return fallback;
    }
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

} // namespace testing_support
