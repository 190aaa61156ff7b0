#include "cli/virtual_pedals.h"

#include <fstream>

#include "cli/ending.h"
#include "engine/flash_table.h"
#include "sim/report_verdicts.h"

namespace px::cli {
namespace {

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// What the virtual pedal says of its flash and files.
void TellPedalReport(const std::string& tag, const std::string& reportPath, int simStatus) {
  std::ifstream in(reportPath);
  const sim::ReportVerdicts verdicts = sim::ReadReportVerdicts(in, kModuleFileName);
  if (verdicts.flashMatches) {
    fprintf(stderr, "%sVirtual pedal: its flash %s the firmware image; %s %s; %s.\n", tag.c_str(),
            *verdicts.flashMatches ? "equals" : "does NOT equal", kModuleFileName,
            verdicts.fileMatches ? "equals the module image" : "is not the module image",
            simStatus == 0 ? "no protocol violations" : "see its report");
  } else {
    fprintf(stderr, "%sVirtual pedal: no report.\n", tag.c_str());
  }
}

}  // namespace

// A flash's pedals check their flash against the very image this program carries.
std::vector<std::string> CVirtualPedals::ArgsOf(const Options& o, int pedal) const {
  std::vector<std::string> args;
  if (firmwareFile_ != nullptr) {
    args = {"--once",
            "--report",
            reports_[static_cast<size_t>(pedal - 1)]->Path(),
            "--expect-image",
            firmwareFile_->Path(),
            "--expect-file",
            std::string(kModuleFileName) + "=" + moduleFile_->Path()};
  }
  const std::vector<std::string> own = PedalArgsFor(o, pedal);
  args.insert(args.end(), own.begin(), own.end());
  return args;
}

std::optional<int> CVirtualPedals::Start(const Options& o, const DeviceImages* images,
                                         std::vector<std::string>& ports) {
  if (images != nullptr) {
    firmwareFile_ = std::make_unique<CTempFile>("px550-image");
    moduleFile_ = std::make_unique<CTempFile>("px550-module");
    WriteFile(firmwareFile_->Path(), images->firmware);
    WriteFile(moduleFile_->Path(), images->module);
    for (int i = 0; i < o.simulate; ++i) {
      reports_.push_back(std::make_unique<CTempFile>("px550-report"));
    }
  }
  for (int i = 0; i < o.simulate; ++i) {
    auto sim = std::make_unique<CSimulator>();
    std::string port;
    std::string error;
    if (!sim->Start(ArgsOf(o, i + 1), o.verbose, port, error)) {
      fprintf(stderr, "Error: cannot start the virtual pedal: %s\n", error.c_str());
      return kExitPort;
    }
    if (o.verbose) fprintf(stderr, "Virtual pedal on %s\n", port.c_str());
    ports.push_back(port);
    pedals_.push_back(std::move(sim));
  }
  return std::nullopt;
}

void CVirtualPedals::StopAndTellReports(const std::vector<std::string>& ports, bool several) {
  for (size_t i = 0; i < pedals_.size() && i < reports_.size(); ++i) {
    const int simStatus = pedals_[i]->Stop();
    TellPedalReport(several ? ports[i] + ": " : "", reports_[i]->Path(), simStatus);
  }
}

}  // namespace px::cli
