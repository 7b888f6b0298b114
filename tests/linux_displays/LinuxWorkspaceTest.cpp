#include <gtest/gtest.h>

#include "platform/linux/display/LinuxWorkspace.h"

namespace nuvlet::linux_platform {
namespace {

TEST(ApplicationFromWindow, PicksTheBestIdentifierAndAReadableName) {
  using std::nullopt;
  using namespace std::string_view_literals;
  struct Case {
    std::optional<std::string_view> gtk, wmClass, exe;
    FrontmostApplication want;
  };
  const Case cases[] = {
      {"org.example.Editor", "myinst\0MyClass\0"sv, "editor", {"org.example.Editor", "MyClass"}},
      {nullopt, "myinst\0MyClass\0"sv, "editor", {"MyClass", "MyClass"}},
      {nullopt, nullopt, "editor", {"editor", "editor"}},
      {nullopt, "\0OnlyClass\0"sv, nullopt, {"OnlyClass", "OnlyClass"}},
      {nullopt, "justone"sv, nullopt, {"justone", "justone"}},
      {nullopt, "caf\xe9\0Caf\xe9\0"sv, nullopt, {"Caf\xc3\xa9", "Caf\xc3\xa9"}},
      {"bad\xff", "x\0Y\0"sv, nullopt, {"bad\xef\xbf\xbd", "Y"}},
      {nullopt, nullopt, nullopt, {"", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(applicationFromWindow(c.gtk, c.wmClass, c.exe), c.want)
        << c.want.bundleId << " / " << c.want.name;
  }
}

}  // namespace
}  // namespace nuvlet::linux_platform
