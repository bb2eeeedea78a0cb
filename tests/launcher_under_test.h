// Which launchers the end-to-end rows run: this build's, or, when
// QZ_TEST_LAUNCHER_BUILD names another build tree (the arm64 cross build, run
// here under qemu through binfmt_misc), that tree's, with its BusyBox.
#pragma once

#include <cstdlib>
#include <regex>
#include <string>

#include "support.h"

namespace testing_support {

inline const char* const otherBuild = std::getenv("QZ_TEST_LAUNCHER_BUILD");
// Whether the rows run another tree's launchers, under emulation.
inline const bool emulated = otherBuild != nullptr && *otherBuild != '\0';

// `ours`, or the file `inOtherBuild` of the other tree when the rows run it.
inline std::string built(const std::string& ours, const std::string& inOtherBuild) {
  return emulated ? otherBuild + ("/" + inOtherBuild) : ours;
}

// The platform tag whose agent a launcher asks for and keeps, as its ELF
// header's machine field tells: arm64 (183) or x86-64.
inline std::string platformTagOf(const std::string& image) {
  return readFile(image).substr(18, 2) == std::string("\xb7\0", 2) ? "hostka64" : "hostk64";
}

// The shell of a BusyBox root, for the machine the launcher is built for.
inline const std::string busyBox =
    built("/bin/busybox", "third_party/target-packages/root/bin/busybox");

// What the user's terminal would show without qemu's user-mode emulator: it,
// not the launcher, writes this line when a signal whose default is a core
// dump (SIGQUIT) ends the program.
inline std::string withoutEmulatorNotes(const std::string& text) {
  static const std::regex note(
      "qemu: uncaught target signal [0-9]+ \\([A-Za-z]+\\) - core dumped\n");
  return std::regex_replace(text, note, "");
}

}  // namespace testing_support
