#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace nuvlet::cli {

// The parsed command line: each command adds its subcommand to `app` and, when the
// user chose it, leaves the work to do in `chosen` (returning the exit status).
struct CommandLine {
  CLI::App app{"Nuvlet keeps the light your laptop display emits comfortable.", "nuvlet"};
  std::function<int()> chosen;
};

void addStatusCommand(CommandLine& cl);
int runStatus();
void addDevicesCommand(CommandLine& cl);
void addBacklightCommand(CommandLine& cl);
void addFitCommand(CommandLine& cl);
void addRunCommand(CommandLine& cl);
void addSimulateCommand(CommandLine& cl);
void addUpdateCommand(CommandLine& cl);
int runApp();

}  // namespace nuvlet::cli
