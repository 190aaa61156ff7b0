#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "px_version.h"

namespace px::cli {
namespace {

std::string PortHelp() {
#ifdef _WIN32
  return "serial port, such as COM7 (default: the first Bluetooth port, else the first port)";
#else
  return "serial port device, such as /dev/rfcomm0 (default: the first Bluetooth port, else the "
         "first port)";
#endif
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, Options& o, std::string& out,
                     std::string& err) {
  CLI::App app{"Updates the firmware of a PX-550LN effects pedal over its serial port.",
               "px550-update"};
  app.set_version_flag("--version", "px550-update " PX_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 completed, 1 the device refused or reported an error, 2 bad usage, "
      "3 no port or the port cannot be opened, 4 the device did not answer, 130 interrupted.");

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports; * marks the default one");

  CLI::App* identify = app.add_subcommand("identify", "Ask the pedal who it is");
  identify->add_option("--port", o.port, PortHelp());
  identify->add_flag("--simulate", o.simulate, "Talk to a virtual pedal instead");
  identify->add_option("--pedal-arg", o.pedalArgs, "An option for the virtual pedal (repeatable)")
      ->allow_extra_args(false);

  CLI::App* flash = app.add_subcommand("flash", "Update the pedal's firmware");
  flash->add_option("--port", o.port, PortHelp());
  flash->add_option("--progress", o.progress, "How to show progress")
      ->check(CLI::IsMember({"auto", "bar", "plain", "json", "none"}))
      ->default_str("auto");
  flash->add_option("--trace", o.trace, "Write every message in and out to this file");
  flash->add_flag("--yes,-y", o.yes, "Do not ask before updating");
  flash->add_flag("--simulate", o.simulate, "Update a virtual pedal instead");
  flash->add_option("--pedal-arg", o.pedalArgs, "An option for the virtual pedal (repeatable)")
      ->allow_extra_args(false);

  std::ostringstream outText;
  std::ostringstream errText;
  int rc = -1;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    rc = app.exit(e, outText, errText) == 0 ? 0 : 2;
  }
  out = outText.str();
  err = errText.str();
  if (rc >= 0) return rc;
  if (ports->parsed()) o.command = Command::Ports;
  if (identify->parsed()) o.command = Command::Identify;
  if (flash->parsed()) o.command = Command::Flash;
  return o.command == Command::None ? 2 : -1;
}

}  // namespace px::cli
