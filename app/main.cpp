#include <CLI/CLI.hpp>

#include "app/Commands.h"
#include "nuvlet/platform/Log.h"

int main(int argc, char** argv) {
  nuvlet::cli::CommandLine cl;
  cl.app.set_version_flag("--version", "nuvlet " NUVLET_VERSION);
  bool verbose = false;
  cl.app.add_flag("-v,--verbose", verbose, "Print diagnostic lines on stderr");
  cl.app.require_subcommand(0, 1);
  cl.app.footer(
      "Without a subcommand Nuvlet runs in the tray. \"nuvlet devices\" shows what it can use "
      "on this machine, and \"nuvlet SUBCOMMAND --help\" the options of each command.");
  // --verbose may also follow the subcommand ("nuvlet run --verbose").
  cl.app.fallthrough();

  nuvlet::cli::addRunCommand(cl);
  nuvlet::cli::addStatusCommand(cl);
  nuvlet::cli::addDevicesCommand(cl);
  nuvlet::cli::addBacklightCommand(cl);
  nuvlet::cli::addFitCommand(cl);
  nuvlet::cli::addSimulateCommand(cl);
  nuvlet::cli::addUpdateCommand(cl);

  try {
    cl.app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return cl.app.exit(e);
  }
  nuvlet::log::setVerbose(verbose);
  if (!cl.chosen) {
    cl.chosen = nuvlet::cli::runApp;
  }
  return cl.chosen();
}
