#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/ProcessCheck.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// Every test here runs real child processes; none may leave one behind, or a
// descriptor open.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptorsBefore_ = openDescriptorCount(); }
  void TearDown() override {
    EXPECT_TRUE(childProcesses().empty()) << "a child process was left behind";
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore_) << "a descriptor was left open";
  }

  // A monitor tool made of a shell script. $LOG is a file the script may append to.
  std::filesystem::path tool(const std::string& body, const std::string& name = "tool") {
    auto path = dir_.write(name, "#!/bin/sh\nLOG='" + log().string() + "'\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }

  std::filesystem::path log() const { return dir_ / "log"; }
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream text(readText(log()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  TempDir dir_;
  sim::VirtualRunLoop loop_;

 private:
  std::size_t descriptorsBefore_ = 0;
};

}  // namespace nuvlet::test
