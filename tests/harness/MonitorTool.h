#pragma once
// Plays the external monitor tool: shell scripts the app runs as it would run the real
// tool, each logging its command lines to $LOG (the file "log" beside it).
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A monitor behind the tool protocol: answers a read with the file "level" beside the
// script and stores a written level there. With the file "broken" present every read
// fails; whatever is not a luminance command fails too.
inline constexpr const char* kMonitorTool = R"sh(echo "$*" >> "$LOG"
cd "$(dirname "$0")"
[ "$4" = luminance ] || exit 2
if [ "$3" = get ]; then [ -e broken ] && exit 1; cat level; fi
if [ "$3" = set ]; then echo "$5" > level; fi
exit 0)sh";

// A tool of `body` (shell) in `dir`, executable.
inline std::filesystem::path writeMonitorTool(const TempDir& dir,
                                              const std::string& body = kMonitorTool,
                                              const std::string& name = "tool") {
  auto path = dir.write(name, "#!/bin/sh\nLOG='" + (dir / "log").string() + "'\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace nuvlet::test
