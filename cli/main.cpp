// px550-update: the command-line updater. Lists serial ports, identifies pedals, and runs whole
// firmware updates with the same engine, steps and texts as the dialog program: one pedal, or
// up to 20 at once, each on its own port.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "cli/terminal_ui.h"
#include "cli/test_hooks.h"
#include "cli/virtual_pedals.h"
#include "engine/images.h"
#include "engine/strings.h"
#include "serial/port_discovery.h"

namespace px::cli {
namespace {

// The serial ports, in the order the port list gives them (a fixture tree's in test builds).
std::vector<PortEntry> ListPortsHere() {
  std::string sysRoot;
  std::string devRoot;
  std::vector<PortEntry> ports;
  if (PortRootsFromEnvironment(sysRoot, devRoot) && ListFixturePorts(sysRoot, devRoot, ports)) {
    return ports;
  }
  return ListPorts();
}

// What makes a paired pedal's port appear: on Linux it must be bound (rfcomm); elsewhere
// pairing is enough.
std::string BindNote(const char* port) {
  if (ThisPortSystem() != PortSystem::kLinux) return "";
  return std::string(" (and bind ") + port + ")";
}

// "/dev/rfcomm0 (Bluetooth serial port)"
std::string PortAndDescription(const PortEntry& p) {
  return p.description.empty() ? p.name : p.name + " (" + p.description + ")";
}

// The pedals to work on: the ports given, every (Bluetooth) port, the default port, or virtual
// pedals started here.
struct Targets {
  std::vector<std::string> ports;
  CVirtualPedals pedals;  // with --simulate, one per port
  bool several = false;
  bool leaveOut = false;
};

// --all and --all-ports: every Bluetooth port but the system's own incoming one (every port),
// up to the most that go at once.
std::optional<int> ChooseEveryPort(const Options& o, const std::vector<PortEntry>& ports,
                                   Targets& t) {
  std::vector<std::string> used;
  for (const PortEntry& p : ports) {
    if (!MayLeadToPedal(p) && !o.allPorts) continue;
    t.ports.push_back(p.name);
    used.push_back(PortAndDescription(p));
  }
  if (t.ports.empty()) {
    fprintf(stderr,
            "Error: no %sserial ports found. Pair the pedals over Bluetooth%s, or give them "
            "with --port.\n",
            o.allPorts ? "" : "Bluetooth ", BindNote("their serial ports").c_str());
    return kExitPort;
  }
  if (static_cast<int>(t.ports.size()) > kMaxPedals) {
    fprintf(stderr,
            "Error: %zu ports found, and at most %d pedals go at once; give them with "
            "--port.\n",
            t.ports.size(), kMaxPedals);
    return kExitUsage;
  }
  for (const std::string& u : used) fprintf(stderr, "Using port %s\n", u.c_str());
  return std::nullopt;
}

// images: what a flash writes, for virtual pedals to check against (nullptr to identify). Gives an
// exit status on failure, nothing when every target is there.
std::optional<int> ResolveTargets(const Options& o, const DeviceImages* images, Targets& t) {
  t.several = o.ports.size() > 1 || o.all || o.allPorts || o.simulate > 1;
  t.leaveOut = o.all || o.allPorts;
  if (o.simulate > 0) return t.pedals.Start(o, images, t.ports);
  if (!o.ports.empty()) {
    t.ports = o.ports;
    return std::nullopt;
  }
  const std::vector<PortEntry> ports = ListPortsHere();
  if (t.leaveOut) return ChooseEveryPort(o, ports, t);
  const int chosen = PreferredPortIndex(ports);
  if (chosen < 0) {
    fprintf(stderr,
            "Error: no serial ports found. Pair the pedal over Bluetooth%s, or give one with "
            "--port.\n",
            BindNote("its serial port").c_str());
    return kExitPort;
  }
  const PortEntry& p = ports[static_cast<size_t>(chosen)];
  t.ports.push_back(p.name);
  fprintf(stderr, "Using port %s\n", PortAndDescription(p).c_str());
  return std::nullopt;
}

int CmdPorts() {
  const std::vector<PortEntry> ports = ListPortsHere();
  if (ports.empty()) {
    fprintf(stderr, "No serial ports found.\n");
    return kExitPort;
  }
  fputs(PortListText(ports, PreferredPortIndex(ports), IsTerminal(stdout)).c_str(), stdout);
  return kExitOk;
}

// "The device ..." and the like after an ending's text, or "".
std::string WithDetail(const PedalEnding& e) {
  return e.detail.empty() ? e.text : e.text + " " + e.detail;
}

int CmdIdentify(const Options& o) {
  Targets t;
  if (const std::optional<int> rc = ResolveTargets(o, nullptr, t)) return *rc;
  FleetSettings settings;
  settings.mode = ProgressMode::None;
  settings.several = t.several;
  settings.leaveOut = t.leaveOut;
  settings.timing = TimingFromEnvironment();
  CFleet fleet(t.ports, settings);
  CInterruptWatch watch([&fleet] { fleet.AbortAll(); });
  const std::vector<PedalEnding> endings = fleet.Identify();
  const bool interrupted = watch.Interrupted();
  if (interrupted) return kExitInterrupted;
  for (const PedalEnding& e : endings) {
    const std::string tag = t.several ? e.port + ": " : "";
    if (e.leftOut) {
      fprintf(stderr, "%sleft out: %s\n", tag.c_str(), WithDetail(e).c_str());
    } else if (!e.identified) {
      fprintf(stderr, "%sError: %s\n", tag.c_str(), e.text.c_str());
      if (!e.detail.empty()) fprintf(stderr, "%s%s\n", tag.c_str(), e.detail.c_str());
      const std::string hint = HintLine(HintText(e.hint));
      if (!hint.empty()) fprintf(stderr, "%s%s\n", tag.c_str(), hint.c_str());
    } else {
      const uint32_t rev = e.revision;
      char revision[5] = {static_cast<char>(rev >> 24), static_cast<char>(rev >> 16),
                          static_cast<char>(rev >> 8), static_cast<char>(rev), 0};
      for (int i = 0; i < 4; ++i) {
        if (revision[i] < 0x20 || revision[i] > 0x7E) revision[i] = '?';
      }
      printf("%sDevice code: 0x%02X\n%sVariant: %u\n%sRevision: %s\n", tag.c_str(), e.deviceId,
             tag.c_str(), e.variant, tag.c_str(), rev ? revision : "unknown");
    }
  }
  return ExitStatusFor(endings, false);
}

// The one question before any pedal changes: every pedal that would be updated, after those
// left out. True to go on.
bool ConfirmPedals(const Options& o, const Targets& t, int32_t firmwareSize, int32_t moduleSize,
                   const CInterruptWatch& interrupt, const std::vector<PedalEnding>& ready,
                   const std::vector<PedalEnding>& others) {
  const std::string moduleText =
      " and the " + std::to_string(moduleSize) + "-byte module file " + kModuleFileName;
  if (!t.several) {
    const PedalEnding& p = ready.front();
    fprintf(stderr,
            "Found a PX-550LN (device code 0x%02X, variant %u). The update writes %d bytes of "
            "firmware%s.\n",
            p.deviceId, p.variant, firmwareSize,
            CarriesModuleFile(p.variant) ? moduleText.c_str() : "");
    if (o.yes) return true;
    return AskYesNo("Update the pedal now? Keep it powered and nearby until it is done.",
                    interrupt);
  }
  for (const PedalEnding& e : others) {
    if (e.leftOut) fprintf(stderr, "%s: left out: %s\n", e.port.c_str(), WithDetail(e).c_str());
  }
  bool anyModule = false;
  fprintf(stderr, "Found %zu PX-550LN pedal%s:\n", ready.size(), ready.size() == 1 ? "" : "s");
  for (const PedalEnding& p : ready) {
    fprintf(stderr, "  %s  device code 0x%02X, variant %u\n", p.port.c_str(), p.deviceId,
            p.variant);
    anyModule = anyModule || CarriesModuleFile(p.variant);
  }
  fprintf(stderr, "The update writes %d bytes of firmware to each%s%s.\n", firmwareSize,
          anyModule ? "," : "", anyModule ? (moduleText + " to those of variant 1").c_str() : "");
  if (o.yes) return true;
  return AskYesNo("Update " + std::string(ready.size() == 1 ? "this pedal" : "these pedals") +
                      " now? Keep them powered and nearby until they are done.",
                  interrupt);
}

// One line per port: how its run ended.
void TellSummary(FILE* file, const std::vector<PedalEnding>& endings) {
  int completed = 0;
  int counted = 0;
  for (const PedalEnding& e : endings) {
    std::string text;
    if (e.leftOut) {
      text = "left out: " + WithDetail(e);
    } else if (e.outcome == RunOutcome::Aborted) {
      text = "interrupted";
    } else if (e.outcome == RunOutcome::Declined) {
      text = "not updated";
    } else {
      text = WithDetail(e);
    }
    completed += e.outcome == RunOutcome::Completed;
    counted += !e.leftOut;
    fprintf(file, "%s: %s\n", e.port.c_str(), text.c_str());
    const std::string hint = HintLine(HintText(e.hint));
    if (!e.leftOut && !hint.empty()) fprintf(file, "%s: %s\n", e.port.c_str(), hint.c_str());
  }
  fprintf(file, "%d of %d pedal%s updated.\n", completed, counted, counted == 1 ? "" : "s");
  fflush(file);
}

ProgressMode ProgressModeOf(const Options& o) {
  if (o.progress == "json") return ProgressMode::Json;
  if (o.progress == "none") return ProgressMode::None;
  if (o.progress == "bar" || (o.progress == "auto" && IsTerminal(stderr))) return ProgressMode::Bar;
  return ProgressMode::Plain;
}

// Every pedal identified, the one question, every update, the summary; returns the exit status.
int FlashPedals(const Options& o, const Targets& t, const FleetSettings& settings) {
  CFleet fleet(t.ports, settings);
  CInterruptWatch watch([&fleet] { fleet.AbortAll(); });
  const std::vector<PedalEnding> endings = fleet.Flash([&](const std::vector<PedalEnding>& ready,
                                                           const std::vector<PedalEnding>& others) {
    return ConfirmPedals(o, t, static_cast<int32_t>(settings.images.firmware.size()),
                         static_cast<int32_t>(settings.images.module.size()), watch, ready, others);
  });
  const bool interrupted = watch.Interrupted();
  bool declined = false;
  for (const PedalEnding& e : endings) declined = declined || e.outcome == RunOutcome::Declined;
  if (declined && !interrupted) fprintf(stderr, "Nothing was changed.\n");
  if (t.several) TellSummary(settings.mode == ProgressMode::Json ? stderr : stdout, endings);
  fleet.ShowResults(endings, interrupted);
  return ExitStatusFor(endings, interrupted);
}

int CmdFlash(const Options& o) {
  if (!o.yes && !IsTerminal(stdin)) {
    fprintf(stderr,
            "Error: flash asks before it changes the pedal; give --yes when no terminal "
            "can answer.\n");
    return kExitUsage;
  }
  const std::optional<DeviceImages> images = LoadImages();
  if (!images) {
    fprintf(stderr, "Error: %s\n", LoadText(IDS_IMAGE_MISSING));
    return kExitDevice;
  }
  Targets t;
  if (const std::optional<int> rc = ResolveTargets(o, &*images, t)) return *rc;

  FILE* traceFile = nullptr;
  if (!o.trace.empty()) {
    traceFile = fopen(o.trace.c_str(), "w");
    if (traceFile == nullptr) {
      fprintf(stderr, "Error: cannot write the trace file %s\n", o.trace.c_str());
      return kExitUsage;
    }
  }
  FleetSettings settings;
  settings.mode = ProgressModeOf(o);
  settings.several = t.several;
  settings.leaveOut = t.leaveOut;
  settings.timing = TimingFromEnvironment();
  settings.images = *images;
  settings.trace = traceFile;
  if (settings.mode == ProgressMode::Bar && t.several) {
    settings.terminalWidth = PrepareTerminal(stderr);
  }
  const int exitCode = FlashPedals(o, t, settings);
  if (traceFile != nullptr) fclose(traceFile);

  t.pedals.StopAndTellReports(t.ports, t.several);
  return exitCode;
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  std::string out;
  std::string err;
  const std::optional<int> rc = ParseCommandLine(argc, argv, o, out, err);
  fputs(out.c_str(), stdout);
  fputs(err.c_str(), stderr);
  if (rc) return *rc;
  switch (o.command) {
    case Command::Ports:
      return CmdPorts();
    case Command::Identify:
      return CmdIdentify(o);
    default:
      return CmdFlash(o);
  }
}

}  // namespace px::cli

int main(int argc, char** argv) {
  return px::cli::Main(argc, argv);
}
