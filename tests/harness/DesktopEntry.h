#pragma once
// Plays what reads and starts a desktop entry: desktop-file-validate, a GLib-based session
// launching it (gio launch), and a stand-in program that says how it was started.
#include <filesystem>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// desktop-file-validate's verdict (desktop-file-utils).
inline ChildProcess::Result validateDesktopEntry(const std::filesystem::path& file) {
  return ChildProcess::run({"desktop-file-validate", file.string()});
}

// Starts the entry as a GLib-based session does (gio, libglib2.0-bin).
inline ChildProcess::Result launchDesktopEntry(const std::filesystem::path& file) {
  return ChildProcess::run({"gio", "launch", file.string()});
}

// A program at `relative` below `dir` that prints "ran <its path> <argument count>".
inline std::filesystem::path writeStandInProgram(const TempDir& dir, const std::string& relative) {
  auto file = dir.write(relative, "#!/bin/sh\necho \"ran $0 $#\"\n");
  std::filesystem::permissions(file, std::filesystem::perms::owner_all);
  return file;
}

}  // namespace nuvlet::test
