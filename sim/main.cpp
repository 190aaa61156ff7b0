// px550-sim: the virtual pedal on a pseudo-terminal or a serial port.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "px_version.h"
#include "sim/fd_server.h"
#include "sim/pedal_config.h"
#include "sim/replay.h"

namespace {

using px::sim::PedalConfig;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Accepts 94, 0x5E or 0X5e for a byte-sized code.
bool ParseByte(const std::string& text, uint8_t& out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < 0 || v > 127) return false;
  out = static_cast<uint8_t>(v);
  return true;
}

// The program's pedal: PedalConfig's defaults but for two. On a pty both directions are paced at
// 115,200 baud, and a request that comes within 500 ms of UpdateStart's answer is flagged. (The
// engine's tests put the pedal in-process with PedalConfig's own: no pacing, no settle check.)
PedalConfig ProgramPedal() {
  PedalConfig c;
  c.baud = 115200;
  c.settleAfterUpdateStartMs = 500;
  return c;
}

// What the command line holds besides the pedal's settings, which its options set in place.
struct Options {
  bool pty = false;
  std::string link;
  std::string port;
  uint32_t portBaud = 0;  // with --port: --baud
  std::optional<std::string> family;
  std::optional<std::string> member;
  std::optional<std::string> revision;
  std::vector<std::string> faults;
  bool silent = false;
  std::string expectImage;
  std::vector<std::string> expectFiles;
  std::string report;
  bool once = false;
  uint32_t lingerMs = 2000;
  bool trace = false;
  std::string replay;
  std::string replayPort;
};

// The "(default N)" of a help text, read from the value the option starts with.
std::string Default(uint64_t value, const char* more = "") {
  return "(default " + std::to_string(value) + more + ")";
}

void Typed(CLI::Option* option, const char* type, const std::string& group) {
  option->type_name(type)->group(group);
}

void AddLineOptions(CLI::App& app, Options& o) {
  auto* line = app.add_option_group("line", "Where the pedal listens (one of them)");
  auto* pty = line->add_flag("--pty", o.pty,
                             "Create a pseudo-terminal; its path is the first line of stdout");
  line->add_option("--port", o.port, "Serve a real serial port (null-modem, Bluetooth)")
      ->type_name("PATH");
  line->require_option(1);
  app.add_option("--link", o.link, "With --pty: make PATH a symlink to the pseudo-terminal")
      ->type_name("PATH")
      ->needs(pty);
}

void AddIdentityOptions(CLI::App& app, Options& o, PedalConfig& c) {
  const std::string g = "Identity and state";
  char family[8];
  snprintf(family, sizeof family, "0x%02X", c.family);
  Typed(app.add_option("--family", o.family,
                       "Family code: byte 6 of IdentityReply and the device id (default " +
                           std::string(family) + ")"),
        "CODE", g);
  Typed(app.add_option("--member,--variant", o.member,
                       "Member code, byte 8 of IdentityReply. Member 1 has the semaphore, the "
                       "audio mute and the module file " +
                           Default(c.member)),
        "CODE", g);
  Typed(app.add_option("--revision", o.revision,
                       "Software revision, four characters (default " +
                           std::string(c.revision.begin(), c.revision.end()) + ")"),
        "TEXT", g);
  app.add_flag_callback(
         "--not-in-update-mode", [&c] { c.updateModeReady = false; }, "UpdateStart is answered 11")
      ->group(g);
  app.add_flag("--battery-low", c.batteryLow,
               "Battery low from the start (GetSemaphore 3, UpdateStart 12)")
      ->group(g);
  Typed(app.add_option("--battery-low-after-block", c.batteryLowAfterBlock,
                       "Battery goes low once N RomWrite blocks were stored (then 12)")
            ->check(CLI::Range(0, 100000)),
        "N", g);
  Typed(app.add_option("--semaphore-refusals", c.semaphoreRefusals,
                       "Refuse the first N GetSemaphore"),
        "N", g);
  Typed(app.add_option("--semaphore-status", c.semaphoreRefusalStatus,
                       "Status of those refusals, 1 to 127 " + Default(c.semaphoreRefusalStatus))
            ->check(CLI::Range(1, 127)),
        "S", g);
  app.add_flag_callback(
         "--no-module-file", [&c] { c.initialFiles.clear(); },
         "Start without LINESEL.TDL (FileDelete answers -6)")
      ->group(g);
}

void AddTimingOptions(CLI::App& app, PedalConfig& c) {
  const std::string g = "Timing";
  Typed(app.add_option("--latency", c.replyLatencyMs, "Reply latency " + Default(c.replyLatencyMs)),
        "MS", g);
  Typed(app.add_option("--erase-ms", c.eraseTimeMs,
                       "Time to erase the whole MiB " + Default(c.eraseTimeMs)),
        "MS", g);
  Typed(app.add_option("--write-ms", c.writeTimeMs,
                       "Time to program one RomWrite block " + Default(c.writeTimeMs)),
        "MS", g);
  Typed(app.add_option("--baud", c.baud,
                       "Line speed, 10 bits a byte. With --pty both directions are paced at it " +
                           Default(c.baud, ", 0: no pacing") +
                           "; with --port it is the port's speed"),
        "BAUD", g);
  Typed(app.add_option("--clock", c.clockMs,
                       "Send a timing clock byte (0xF8) to the updater every MS, so that its "
                       "line is never quiet " +
                           Default(c.clockMs, ": none")),
        "MS", g);
  Typed(app.add_option("--settle-ms", c.settleAfterUpdateStartMs,
                       "Flag a request that comes sooner than this after UpdateStart was "
                       "answered " +
                           Default(c.settleAfterUpdateStartMs, ", 0: off")),
        "MS", g);
}

void AddFaultOptions(CLI::App& app, Options& o, PedalConfig& c) {
  const std::string g = "Faults";
  Typed(app.add_option("--fault", o.faults,
                       "KIND[#BLOCK|@ADDR]:OCCURRENCES:ACTION[=VALUE], repeatable, the first "
                       "that matches decides. E.g. GetSemaphore:1-99:status=2, "
                       "RomWrite#3:1-5:silence, RomWrite#3:1:late=6000, *:all:silence"),
        "RULE", g);
  app.add_flag("--silent", o.silent, "Answer nothing at all")->group(g);
  const struct {
    const char* name;
    double* value;
    const char* help;
  } rates[] = {
      {"--drop-in", &c.line.dropToPedal, "Drop rate of the updater's bytes"},
      {"--drop-out", &c.line.dropToHost, "Drop rate of the pedal's bytes"},
      {"--flip-in", &c.line.flipToPedal, "Bit-flip rate of the updater's bytes"},
      {"--flip-out", &c.line.flipToHost, "Bit-flip rate of the pedal's bytes"},
      {"--realtime", &c.line.realTimeRate, "Rate of 0xF8/0xFE put before the pedal's bytes"},
      {"--stray", &c.line.strayRate, "Rate of stray bytes before an answer"},
      {"--unknown-commands", &c.line.unknownCommandRate,
       "Rate of device commands before an answer"},
  };
  for (const auto& r : rates) {
    Typed(app.add_option(r.name, *r.value, r.help)->check(CLI::Range(0.0, 1.0)), "RATE", g);
  }
  Typed(app.add_option("--ask-identity-at-block", c.line.askIdentityAtBlock,
                       "Send the pedal's own IdentityRequest before answering RomWrite block N "
                       "(from 0)")
            ->check(CLI::Range(0, 100000)),
        "N", g);
  Typed(app.add_option("--disconnect-after-bytes", c.line.disconnectAfterBytes,
                       "Close the line after K received bytes")
            ->check(CLI::Range(int64_t{0}, int64_t{1} << 40)),
        "K", g);
  Typed(app.add_option("--seed", c.seed, "Seed of every random fault " + Default(c.seed)), "N", g);
}

void AddOutputOptions(CLI::App& app, Options& o) {
  const std::string g = "Checks and output";
  Typed(app.add_option("--expect-image", o.expectImage,
                       "Firmware image the flash must hold at the end"),
        "FILE", g);
  Typed(app.add_option("--expect-file", o.expectFiles,
                       "A device file the run must leave, repeatable"),
        "NAME=FILE", g);
  Typed(app.add_option("--report", o.report, "Write the JSON report here at the end (-: stdout)"),
        "FILE", g);
  app.add_flag("--once", o.once,
               "Exit after UpdateComplete or when the updater closes the line; status 0 only "
               "for a complete update without violations that meets every expectation")
      ->group(g);
  Typed(app.add_option("--linger", o.lingerMs,
                       "With --once: how long to wait after the answer to UpdateComplete has "
                       "left for the updater to close the line " +
                           Default(o.lingerMs)),
        "MS", g);
  app.add_flag("--trace", o.trace, "Every message in and out, decoded, on stderr")->group(g);
}

void AddReplayOptions(CLI::App& app, Options& o) {
  const std::string g = "Replay";
  Typed(app.add_option("--replay", o.replay,
                       "Play the pedal's side of a trace written by px550-update --trace, with "
                       "its timing, and name the first message the updater sends that the trace "
                       "does not have (exit status 1). The pedal options above are ignored"),
        "TRACE", g);
  Typed(app.add_option("--replay-port", o.replayPort,
                       "With --replay: the port whose messages to play, for a trace of several "
                       "pedals"),
        "PORT", g);
}

// Reads the trace to replay; false with a message.
bool LoadReplay(const Options& o, std::unique_ptr<px::sim::CReplay>& replay, std::string& error) {
  std::ifstream in(o.replay);
  if (!in) {
    error = "cannot read " + o.replay + ": " + strerror(errno);
    return false;
  }
  std::vector<px::sim::TraceMessage> messages;
  if (!px::sim::ReadTrace(in, o.replayPort, messages, error)) {
    error = o.replay + ": " + error;
    return false;
  }
  replay = std::make_unique<px::sim::CReplay>(std::move(messages));
  return true;
}

// Removes the --link symlink if it still points at this pedal's pty.
void RemoveLink(const std::string& link, const std::string& slavePath) {
  if (link.empty()) return;
  char target[512];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath) unlink(link.c_str());
}

// The options, group by group, as --help lists them.
void AddOptions(CLI::App& app, Options& o, PedalConfig& c) {
  app.set_version_flag("--version", "px550-sim " PX_VERSION_STRING);
  AddLineOptions(app, o);
  AddIdentityOptions(app, o, c);
  AddTimingOptions(app, c);
  AddFaultOptions(app, o, c);
  AddOutputOptions(app, o);
  AddReplayOptions(app, o);
}

bool BuildIdentity(const Options& o, PedalConfig& c, std::string& error) {
  if (o.family && !ParseByte(*o.family, c.family)) {
    error = "--family takes 0 to 127 (0x00 to 0x7F), got " + *o.family;
    return false;
  }
  if (o.member && !ParseByte(*o.member, c.member)) {
    error = "--member takes 0 to 127, got " + *o.member;
    return false;
  }
  if (!o.revision) return true;
  if (o.revision->size() != 4) {
    error = "--revision takes four characters";
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    if (static_cast<unsigned char>((*o.revision)[i]) >= 0x80) {
      error = "--revision takes ASCII characters";
      return false;
    }
    c.revision[i] = static_cast<uint8_t>((*o.revision)[i]);
  }
  return true;
}

bool BuildFaults(const Options& o, PedalConfig& c, std::string& error) {
  if (o.silent)
    c.rules.push_back({std::nullopt, -1, std::nullopt, px::sim::Occurrences::Always(),
                       px::sim::FaultAction::Silence, 0, 0});
  for (const std::string& text : o.faults) {
    px::sim::FaultRule rule;
    if (!px::sim::ParseFaultRule(text, rule, error)) {
      error = "--fault " + text + ": " + error;
      return false;
    }
    c.rules.push_back(rule);
  }
  return true;
}

bool BuildExpectations(const Options& o, PedalConfig& c, std::string& error) {
  if (!o.expectImage.empty()) {
    std::vector<uint8_t> image;
    if (!ReadFile(o.expectImage, image, error)) return false;
    if (image.size() > px::sim::kFlashSize) {
      error = o.expectImage + " is larger than the flash (1 MiB)";
      return false;
    }
    c.expectedImage = std::move(image);
  }
  for (const std::string& entry : o.expectFiles) {
    const size_t eq = entry.find('=');
    if (eq == 0 || eq == std::string::npos || eq > 12) {
      error = "--expect-file takes NAME=FILE with a name of 1 to 12 characters, got " + entry;
      return false;
    }
    std::vector<uint8_t> bytes;
    if (!ReadFile(entry.substr(eq + 1), bytes, error)) return false;
    c.expectedFiles[entry.substr(0, eq)] = std::move(bytes);
  }
  return true;
}

// Completes the pedal that the options set: with --port, --baud is the port's speed and the pedal
// paces nothing. False with a message for what cannot be used.
bool BuildConfig(Options& o, PedalConfig& c, std::string& error) {
  o.portBaud = c.baud;
  if (!o.pty) c.baud = 0;
  return BuildIdentity(o, c, error) && BuildFaults(o, c, error) && BuildExpectations(o, c, error);
}

std::string Summary(const px::sim::PedalReport& r) {
  std::string s = r.updateComplete ? "update complete" : "no UpdateComplete";
  if (r.flash.expectedImageGiven) {
    s += r.flash.matchesImage
             ? ", flash equals the image"
             : ", flash differs from the image at offset " + std::to_string(r.flash.firstMismatch);
  }
  s += ", " + std::to_string(r.violations.size()) + " violation(s), " +
       std::to_string(r.refusals.size()) + " refusal(s), " + std::to_string(r.faults.size()) +
       " fault(s) fired";
  for (const auto& v : r.violations)
    s += "\n  violation at message " + std::to_string(v.message) + ": " + v.what;
  return s;
}

// Opens the pseudo-terminal or the port, and the symlink to it; -1 after printing why, with the
// exit status in status.
int OpenLine(const Options& o, std::string& slavePath, int& status) {
  std::string error;
  const int fd = o.pty ? px::sim::OpenPty(slavePath, error)
                       : px::sim::OpenSerialPort(o.port, o.portBaud, error);
  status = kExitIo;
  if (fd < 0) {
    fprintf(stderr, "px550-sim: %s\n", error.c_str());
    return -1;
  }
  if (o.link.empty()) return fd;
  struct stat st;
  if (lstat(o.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    fprintf(stderr, "px550-sim: --link %s exists and is not a symlink\n", o.link.c_str());
    status = kExitUsage;
    close(fd);
    return -1;
  }
  unlink(o.link.c_str());
  if (symlink(slavePath.c_str(), o.link.c_str()) != 0) {
    fprintf(stderr, "px550-sim: symlink %s: %s\n", o.link.c_str(), strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Serves until a signal, the line's end or, with --once, the end of the run; true when signalled.
bool Serve(const Options& o, px::sim::CFdServer& server, const sigset_t& signals) {
  server.Start();
  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) return true;
    if (server.Device().Disconnected()) return false;  // the line is gone either way
    if (o.once && server.Finished(o.lingerMs)) return false;
  }
}

// Writes the report where --report says; the exit status for the run.
int Finish(const Options& o, const px::sim::PedalReport& report, bool signalled) {
  int status = 0;
  if (!o.report.empty()) {
    const std::string json = px::sim::ReportToJson(report);
    if (o.report == "-") {
      fputs(json.c_str(), stdout);
      fflush(stdout);
    } else {
      std::ofstream out(o.report, std::ios::binary | std::ios::trunc);
      out << json;
      if (!out) {
        fprintf(stderr, "px550-sim: cannot write %s\n", o.report.c_str());
        status = kExitIo;
      }
    }
  }
  fprintf(stderr, "px550-sim: %s%s\n", signalled ? "stopped; " : "", Summary(report).c_str());
  if (status == 0 && o.once && !report.Success()) status = kExitFailed;
  return status;
}

// SIGINT and SIGTERM are taken by the main thread alone, with sigtimedwait.
sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

void TraceToStderr(PedalConfig& config) {
  const auto start = std::chrono::steady_clock::now();
  config.trace = [start](const std::string& line) {
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fprintf(stderr, "[%9.3f] %s\n", s, line.c_str());
  };
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"px550-sim: a virtual PX-550LN pedal in firmware-update mode", "px550-sim"};
  Options o;
  PedalConfig config = ProgramPedal();
  AddOptions(app, o, config);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  std::string error;
  if (!BuildConfig(o, config, error)) {
    fprintf(stderr, "px550-sim: %s\n", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<px::sim::CReplay> replay;
  if (!o.replay.empty() && !LoadReplay(o, replay, error)) {
    fprintf(stderr, "px550-sim: %s\n", error.c_str());
    return kExitUsage;
  }
  if (o.trace) TraceToStderr(config);

  const sigset_t signals = BlockStopSignals();

  std::string slavePath;
  int status = 0;
  const int fd = OpenLine(o, slavePath, status);
  if (fd < 0) return status;
  if (o.pty) {
    printf("%s\n", slavePath.c_str());
    fflush(stdout);
  }
  if (replay) {
    const auto stop = [&signals] {
      const timespec now{0, 0};
      const int sig = sigtimedwait(&signals, nullptr, &now);
      return sig == SIGINT || sig == SIGTERM;
    };
    status = px::sim::ServeReplay(fd, o.pty, *replay, o.report, o.replay, stop);
    RemoveLink(o.link, slavePath);
    return status;
  }
  px::sim::CFdServer server(fd, config, o.pty);
  const bool signalled = Serve(o, server, signals);
  server.Stop();
  RemoveLink(o.link, slavePath);
  return Finish(o, server.Report(), signalled);
}
