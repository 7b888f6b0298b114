#pragma once
// Plays what reads and starts a desktop entry: desktop-file-validate, GLib reading a key
// of it, a GLib-based session launching it (gio launch), and a stand-in program that says
// how it was started.
#include <glib.h>

#include <filesystem>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// desktop-file-validate's verdict (desktop-file-utils).
inline ChildProcess::Result validateDesktopEntry(const std::filesystem::path& file) {
  return ChildProcess::run({"desktop-file-validate", file.string()});
}

// The value of `key` in the entry's main group as GLib reads it ("" when it has none).
inline std::string desktopEntryValue(const std::filesystem::path& file, const std::string& key) {
  GKeyFile* entry = g_key_file_new();
  gchar* value = g_key_file_load_from_file(entry, file.c_str(), G_KEY_FILE_NONE, nullptr)
                     ? g_key_file_get_string(entry, "Desktop Entry", key.c_str(), nullptr)
                     : nullptr;
  std::string result = value ? value : "";
  g_free(value);
  g_key_file_free(entry);
  return result;
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
