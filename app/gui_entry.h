#pragma once
// The windowed program lives in a module beside the executable, so that a
// command given from a shell loads no window library.

/// The module's one exported function: the program's main() after the
/// command line, given the unchanged arguments.
extern "C" int perstando_gui_main(int argc, char **argv);

using GuiEntry = int (*)(int argc, char **argv);

inline constexpr const char *GuiEntryName = "perstando_gui_main";
