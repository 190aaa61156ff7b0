// px550-update: the command-line updater. Lists serial ports, identifies a pedal, and runs a
// whole firmware update with the same engine, steps and texts as the dialog program.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/platform.h"
#include "cli/terminal_ui.h"
#include "cli/trace.h"
#include "engine/images.h"
#include "engine/strings.h"
#include "engine/update_engine.h"
#include "serial/port_discovery.h"
#ifndef _WIN32
#include "serial/port_discovery_linux.h"
#endif
#include "serial/serial_link_port.h"

namespace px::cli {
namespace {

enum Exit : int {
  kExitOk = 0,
  kExitDevice = 1,
  kExitUsage = 2,
  kExitPort = 3,
  kExitTimeout = 4,
  kExitInterrupted = 130,
};

// Test hook: PX550_TEST_TIMING_SCALE=0.01 runs every wait and pause at a hundredth.
EngineTiming TimingFromEnvironment() {
  EngineTiming t;
  const char* env = getenv("PX550_TEST_TIMING_SCALE");
  if (env == nullptr || *env == 0) return t;
  const double scale = atof(env);
  if (scale <= 0 || scale > 1) return t;
  auto scaled = [scale](uint32_t ms) { return static_cast<uint32_t>(ms * scale + 0.5); };
  t.replyWaitMs = scaled(t.replyWaitMs);
  t.updateStartPauseMs = scaled(t.updateStartPauseMs);
  t.resendPauseMs = scaled(t.resendPauseMs);
  t.semaphorePauseMs = scaled(t.semaphorePauseMs);
  t.eraseExtraMs = scaled(t.eraseExtraMs);
  t.eraseBytesPerMs = static_cast<uint32_t>(t.eraseBytesPerMs / scale);
  return t;
}

int ExitFor(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Completed:
      return kExitOk;
    case RunOutcome::TimedOut:
      return kExitTimeout;
    case RunOutcome::PortFailed:
      return kExitPort;
    case RunOutcome::Aborted:
      return kExitInterrupted;
    default:
      return kExitDevice;
  }
}

const char* StatusWord(int exitCode) {
  switch (exitCode) {
    case kExitOk:
      return "completed";
    case kExitTimeout:
      return "timeout";
    case kExitPort:
      return "port";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "failed";
  }
}

// The serial ports. PX550_SYSFS_ROOT and PX550_DEV_ROOT point the listing at a fixture tree
// (tests only; Linux).
std::vector<PortEntry> PortEntries() {
#ifndef _WIN32
  const char* sys = getenv("PX550_SYSFS_ROOT");
  const char* dev = getenv("PX550_DEV_ROOT");
  if (sys != nullptr && *sys) return ListPortsAt(sys, dev != nullptr && *dev ? dev : "/dev");
#endif
  return ListPorts();
}

// Picks the port: the one given, the virtual pedal's, or the default. Returns an exit code on
// failure, -1 when a port was found.
int ResolvePort(Options& o, CSimulator& sim, const std::vector<std::string>& extraSimArgs) {
  if (o.simulate) {
    std::vector<std::string> args = extraSimArgs;
    args.insert(args.end(), o.pedalArgs.begin(), o.pedalArgs.end());
    std::string error;
    if (!sim.Start(args, o.port, error)) {
      fprintf(stderr, "Error: cannot start the virtual pedal: %s\n", error.c_str());
      return kExitPort;
    }
    fprintf(stderr, "Virtual pedal on %s\n", o.port.c_str());
    return -1;
  }
  if (!o.port.empty()) return -1;
  const std::vector<PortEntry> entries = PortEntries();
  const int chosen = PreferredPortIndex(entries);
  if (chosen < 0) {
    fprintf(stderr,
            "Error: no serial ports found. Pair the pedal over Bluetooth (and bind its serial "
            "port), or give one with --port.\n");
    return kExitPort;
  }
  o.port = entries[static_cast<size_t>(chosen)].name;
  fprintf(stderr, "Using port %s\n", EntryText(entries[static_cast<size_t>(chosen)]).c_str());
  return -1;
}

int CmdPorts() {
  const std::vector<PortEntry> entries = PortEntries();
  if (entries.empty()) {
    fprintf(stderr, "No serial ports found.\n");
    return kExitPort;
  }
  const int chosen = PreferredPortIndex(entries);
  for (size_t i = 0; i < entries.size(); ++i) {
    printf("%s%s\t%s\n", static_cast<int>(i) == chosen ? "*" : "", entries[i].name.c_str(),
           entries[i].description.c_str());
  }
  return kExitOk;
}

int CmdIdentify(Options o) {
  CSimulator sim;
  if (const int rc = ResolvePort(o, sim, {}); rc >= 0) return rc;
  CSerialLinkPort link;
  CTerminalUi ui(ProgressMode::None, stdout, stderr);
  CUpdateEngine engine(link, ui, TimingFromEnvironment());
  CInterruptWatch watch([&engine] { engine.Abort(); });
  if (!link.Open(o.port, kBaudRate)) {
    ui.ShowError(LoadText(IDS_CANT_OPEN_PORT));
    const std::string why = ExplainOpenError(link.LastOpenError());
    if (!why.empty()) fprintf(stderr, "%s\n", why.c_str());
    return kExitPort;
  }
  engine.StartReplyThread();
  const CUpdateEngine::Wait w = engine.Identify();
  // Read the answer before the shutdown puts its abort mark in the reply state.
  CReplyState& reply = engine.Reply();
  const int32_t status = reply.ReplyStatus.load();
  const uint8_t id = reply.ReportedDeviceId.load();
  const unsigned variant = reply.DeviceVariant.load();
  const uint32_t rev = reply.ReportedRevision.load();
  engine.Shutdown();
  link.Close();
  if (watch.Interrupted() || w == CUpdateEngine::Wait::Aborted) return kExitInterrupted;
  if (w == CUpdateEngine::Wait::TimedOut) {
    ui.ShowError(LoadText(IDS_TIMEOUT_ID_REQUEST));
    return kExitTimeout;
  }
  if (status != 0 || !IsAcceptedDeviceId(id)) {
    ui.ShowError(LoadText(IDS_ILLEGAL_DEVICE));
    fprintf(stderr, "The device reported code 0x%02X.\n", id);
    return kExitDevice;
  }
  char revision[5] = {static_cast<char>(rev >> 24), static_cast<char>(rev >> 16),
                      static_cast<char>(rev >> 8), static_cast<char>(rev), 0};
  for (int i = 0; i < 4; ++i) {
    if (revision[i] < 0x20 || revision[i] > 0x7E) revision[i] = '?';
  }
  printf("Device code: 0x%02X\nVariant: %u\nRevision: %s\n", id, variant,
         rev ? revision : "unknown");
  return kExitOk;
}

// Reads one number field ("key": 123) out of the virtual pedal's JSON report.
bool ReportField(const std::string& json, const std::string& key, std::string& value) {
  const size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos) return false;
  size_t p = json.find(':', at);
  if (p == std::string::npos) return false;
  ++p;
  while (p < json.size() && json[p] == ' ') ++p;
  size_t end = p;
  while (end < json.size() && json[end] != ',' && json[end] != '}' && json[end] != '\n') ++end;
  value = json.substr(p, end - p);
  return true;
}

int CmdFlash(Options o) {
  ProgressMode mode = ProgressMode::Plain;
  if (o.progress == "bar" || (o.progress == "auto" && IsTerminal(stderr))) mode = ProgressMode::Bar;
  if (o.progress == "json") mode = ProgressMode::Json;
  if (o.progress == "none") mode = ProgressMode::None;
  const bool interactive = IsTerminal(stdin);
  if (!o.yes && !interactive) {
    fprintf(stderr,
            "Error: flash asks before it changes the pedal; give --yes when no terminal "
            "can answer.\n");
    return kExitUsage;
  }

  const uint8_t* bytes = nullptr;
  const int32_t firmwareSize = LoadDeviceImage(kFirmwareResource, &bytes);
  const uint8_t* module = nullptr;
  const int32_t moduleSize = LoadDeviceImage(kModuleResource, &module);
  if (firmwareSize < 0 || moduleSize < 0) {
    fprintf(stderr, "Error: %s\n", LoadText(IDS_IMAGE_MISSING));
    return kExitDevice;
  }

  // The virtual pedal checks its flash against the very image this program carries.
  std::vector<std::string> simArgs;
  std::string imagePath;
  std::string modulePath;
  std::string reportPath;
  if (o.simulate) {
    imagePath = TempPath("px550-image");
    modulePath = TempPath("px550-module");
    reportPath = TempPath("px550-report");
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes), firmwareSize);
    std::ofstream(modulePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(module), moduleSize);
    simArgs = {"--once",
               "--report",
               reportPath,
               "--expect-image",
               imagePath,
               "--expect-file",
               std::string(kModuleFileName) + "=" + modulePath};
  }
  CSimulator sim;
  if (const int rc = ResolvePort(o, sim, simArgs); rc >= 0) return rc;

  FILE* traceFile = nullptr;
  if (!o.trace.empty()) {
    traceFile = fopen(o.trace.c_str(), "w");
    if (traceFile == nullptr) {
      fprintf(stderr, "Error: cannot write the trace file %s\n", o.trace.c_str());
      return kExitUsage;
    }
  }
  CTraceTap tap(traceFile);

  int exitCode = kExitDevice;
  {
    CSerialLinkPort link;
    CTerminalUi ui(mode, stdout, stderr);
    CUpdateEngine engine(link, ui, TimingFromEnvironment());
    CInterruptWatch watch([&engine] { engine.Abort(); });
    if (traceFile != nullptr) engine.SetMessageTap(&tap);
    ui.SetConfirm([&](uint8_t id, uint8_t variant) {
      fprintf(stderr,
              "Found a PX-550LN (device code 0x%02X, variant %u). The update writes %d bytes of "
              "firmware%s.\n",
              id, variant, firmwareSize,
              variant == 1 ? (" and the " + std::to_string(moduleSize) + "-byte module file " +
                              kModuleFileName)
                                 .c_str()
                           : "");
      if (o.yes) return true;
      return AskYesNo("Update the pedal now? Keep it powered and nearby until it is done.",
                      watch.Flag());
    });
    engine.StartReplyThread();
    engine.OnExecute(o.port);
    if (engine.LastOutcome() == RunOutcome::PortFailed) {
      const std::string why = ExplainOpenError(link.LastOpenError());
      if (!why.empty()) fprintf(stderr, "%s\n", why.c_str());
    }
    while (!engine.WaitForWorker(100)) {
    }
    engine.Shutdown();
    link.Close();
    exitCode = watch.Interrupted() ? kExitInterrupted : ExitFor(engine.LastOutcome());
    if (engine.LastOutcome() == RunOutcome::Declined) fprintf(stderr, "Nothing was changed.\n");
    ui.Result(StatusWord(exitCode), exitCode);
  }
  if (traceFile != nullptr) fclose(traceFile);

  if (o.simulate) {
    const int simStatus = sim.Stop();
    std::ifstream in(reportPath);
    std::stringstream text;
    text << in.rdbuf();
    std::string matches;
    std::string module;
    if (ReportField(text.str(), "matches", matches)) {
      const bool fileOk = ReportField(text.str(), "matchesExpected", module) && module == "true";
      fprintf(stderr, "Virtual pedal: its flash %s the firmware image; %s %s; %s.\n",
              matches == "true" ? "equals" : "does NOT equal", kModuleFileName,
              fileOk ? "equals the module image" : "is not the module image",
              simStatus == 0 ? "no protocol violations" : "see its report");
    } else {
      fprintf(stderr, "Virtual pedal: no report.\n");
    }
    remove(imagePath.c_str());
    remove(modulePath.c_str());
    remove(reportPath.c_str());
  }
  return exitCode;
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  std::string out;
  std::string err;
  const int rc = ParseCommandLine(argc, argv, o, out, err);
  fputs(out.c_str(), stdout);
  fputs(err.c_str(), stderr);
  if (rc >= 0) return rc;
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
