#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <sstream>

#include "cli/ending.h"
#include "px_version.h"
#include "serial/port_discovery.h"

namespace px::cli {

namespace {

// A port name as this system gives them.
const char* ExamplePort() {
  switch (ThisPortSystem()) {
    case PortSystem::kWindows:
      return "COM7";
    case PortSystem::kMac:
      return "/dev/cu.PX-550LN";
    case PortSystem::kBsd:
      return "/dev/cuaU0";
    case PortSystem::kLinux:
      break;
  }
  return "/dev/rfcomm0";
}

std::string PortHelp() {
  return std::string("serial port, such as ") + ExamplePort() +
         "; repeat it for several pedals (default: the first Bluetooth port, else the first "
         "port)";
}

// "N:ARG" gives N (from 1) and ARG; 0 for an argument meant for every pedal.
int PedalOfArg(const std::string& arg, std::string& value) {
  size_t digits = 0;
  while (digits < arg.size() && digits < 3 &&
         std::isdigit(static_cast<unsigned char>(arg[digits]))) {
    ++digits;
  }
  if (digits == 0 || digits >= arg.size() || arg[digits] != ':') {
    value = arg;
    return 0;
  }
  value = arg.substr(digits + 1);
  const int pedal = std::stoi(arg.substr(0, digits));
  return pedal == 0 ? -1 : pedal;
}

void AddTargetOptions(CLI::App* command, Options& o, const char* what) {
  command->add_option("--port", o.ports, PortHelp())->allow_extra_args(false);
  command->add_flag("--all", o.all,
                    "Every Bluetooth serial port that 'ports' lists but incoming ones");
  command->add_flag("--all-ports", o.allPorts, "Every serial port that 'ports' lists");
  command->add_option("--simulate", o.simulate, std::string(what) + " N virtual pedals instead")
      ->expected(0, 1)
      ->default_str("1")
      ->check(CLI::Range(1, kMaxPedals));
  command
      ->add_option("--pedal-arg", o.pedalArgs,
                   "An option for the virtual pedals (repeatable); N:OPTION gives it to the N-th "
                   "only, as in --pedal-arg=2:--silent")
      ->allow_extra_args(false);
  command->add_flag("--verbose,-v", o.verbose,
                    "Show the virtual pedals' own lines (where they listen, their summary)");
}

// What the options cannot express alone; "" when they fit together.
std::string CheckTargets(const Options& o) {
  const int ways = (!o.ports.empty()) + (o.all || o.allPorts) + (o.simulate > 0);
  if (ways > 1) return "give either --port, --all / --all-ports or --simulate";
  if (static_cast<int>(o.ports.size()) > kMaxPedals) {
    return "at most " + std::to_string(kMaxPedals) + " pedals at once";
  }
  for (size_t i = 0; i < o.ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (o.ports[i] == o.ports[j]) return "the port " + o.ports[i] + " is given twice";
    }
  }
  if (!o.pedalArgs.empty() && o.simulate == 0) return "--pedal-arg needs --simulate";
  for (const std::string& arg : o.pedalArgs) {
    std::string value;
    const int pedal = PedalOfArg(arg, value);
    if (pedal < 0 || pedal > o.simulate) {
      return "--pedal-arg " + arg + ": there is no virtual pedal " + arg.substr(0, arg.find(':'));
    }
  }
  return "";
}

}  // namespace

std::vector<std::string> PedalArgsFor(const Options& o, int pedal) {
  std::vector<std::string> args;
  for (const std::string& arg : o.pedalArgs) {
    std::string value;
    const int target = PedalOfArg(arg, value);
    if (target == 0 || target == pedal) args.push_back(value);
  }
  return args;
}

std::optional<int> ParseCommandLine(int argc, const char* const* argv, Options& o, std::string& out,
                                    std::string& err) {
  CLI::App app{"Updates the firmware of PX-550LN effects pedals over their serial ports.",
               "px550-update"};
  app.set_version_flag("--version", "px550-update " PX_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(kExitStatusRule);

  CLI::App* ports = app.add_subcommand("ports", "List the serial ports; * marks the default one");

  CLI::App* identify = app.add_subcommand("identify", "Ask the pedals who they are");
  AddTargetOptions(identify, o, "Ask");

  CLI::App* flash = app.add_subcommand(
      "flash", "Update the pedals' firmware, up to " + std::to_string(kMaxPedals) + " at once");
  AddTargetOptions(flash, o, "Update");
  flash->add_option("--progress", o.progress, "How to show progress")
      ->check(CLI::IsMember({"auto", "bar", "plain", "json", "none"}))
      ->default_str("auto");
  flash->add_option("--trace", o.trace, "Write every message in and out to this file");
  flash->add_flag("--yes,-y", o.yes, "Do not ask before updating");

  std::ostringstream outText;
  std::ostringstream errText;
  std::optional<int> rc;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    rc = app.exit(e, outText, errText) == 0 ? 0 : 2;
  }
  out = outText.str();
  err = errText.str();
  if (rc) return rc;
  if (ports->parsed()) o.command = Command::Ports;
  if (identify->parsed()) o.command = Command::Identify;
  if (flash->parsed()) o.command = Command::Flash;
  if (o.command == Command::None) return 2;
  if (const std::string problem = CheckTargets(o); !problem.empty()) {
    err += "Error: " + problem + "\n";
    return 2;
  }
  return std::nullopt;
}

}  // namespace px::cli
