#include "core/system_info.h"

namespace core {

const std::vector<std::string> &systemInfoPrograms() {
    static const std::vector<std::string> programs = {
        "hardinfo2", "hardinfo", "kinfocenter", "gnome-system-monitor", "xfce4-taskmanager",
    };
    return programs;
}

} // namespace core
