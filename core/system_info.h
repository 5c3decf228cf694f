#pragma once
// The two registry questions the about box asks to find the system information
// tool, and how a registry value reads as text.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace core {

/// Registry roots, by their Windows handle values.
enum class RegistryRoot : std::uint32_t {
    CurrentUser = 0x80000001,
    LocalMachine = 0x80000002,
};

/// Registry value types, by their Windows numbers.
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_DWORD = 4;

/// One stored value: its type and its data bytes as stored (a text may or may
/// not end with its NUL terminator; a 32-bit number is four bytes, low first).
struct RegistryValue {
    std::uint32_t type = 0;
    std::string data;
};

/// A value was stored with no data at all, so it cannot be read as text.
class RegistryValueEmpty : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The value `valueName` of key `keyName` under `root` (names compared without
/// regard to case), or nullopt when this platform has no such value. On Linux
/// only "path" of "SOFTWARE\Microsoft\Shared Tools\MSINFO" under the local
/// machine is answered: the first system information program on PATH.
std::optional<RegistryValue> readRegistryValue(RegistryRoot root, const std::string &keyName,
                                               const std::string &valueName);

/// A value as text: a text without one trailing NUL, a 32-bit number in
/// decimal; nullopt for any other type. Throws RegistryValueEmpty when the
/// value has no data.
std::optional<std::string> registryValueText(const RegistryValue &value);

/// Programs that show system information, in the order they are preferred.
const std::vector<std::string> &systemInfoPrograms();

/// Full path of the first of systemInfoPrograms() that is an executable file
/// in a folder of `searchPath` (colon-separated, as PATH); empty when none is.
std::string findSystemInfoProgram(const std::string &searchPath);

} // namespace core
