#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

namespace nuvlet::test {

// Processes whose parent is this process, zombies included (from /proc).
std::vector<pid_t> childProcesses();

// The number of descriptors this process has open.
std::size_t openDescriptorCount();

// True while any process of process group `pgid` still runs (zombies aside).
bool processGroupAlive(pid_t pgid);

}  // namespace nuvlet::test
