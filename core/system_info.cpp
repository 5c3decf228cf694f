#include "core/system_info.h"

namespace core {

std::optional<std::string> registryValueText(const RegistryValue &value) {
    if (value.data.empty()) {
        throw RegistryValueEmpty("registry value has no data");
    }
    switch (value.type) {
    case REG_SZ: {
        // One terminator is dropped whether or not the writer stored it.
        std::string text = value.data;
        if (text.back() == '\0') {
            text.pop_back();
        }
        return text;
    }
    case REG_DWORD: {
        std::uint32_t number = 0;
        const std::size_t bytes = value.data.size() < 4 ? value.data.size() : 4;
        for (std::size_t i = 0; i < bytes; ++i) {
            number |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i]))
                      << (8 * i);
        }
        return std::to_string(number);
    }
    default:
        return std::nullopt;
    }
}

const std::vector<std::string> &systemInfoPrograms() {
    static const std::vector<std::string> programs = {
        "hardinfo2", "hardinfo", "kinfocenter", "gnome-system-monitor", "xfce4-taskmanager",
    };
    return programs;
}

} // namespace core
