// px550-chaos-runner.exe: the updater's side of the campaign's runs on the Windows link. Says
// "ready", then takes one request per line on standard input (a run's times, images, port and
// when the window closes), drives the engine over CSerialLink on that COM port, and answers one
// line per run with what the updater showed. Ends at the end of its input.
#include <cstdio>
#include <iostream>
#include <string>

#include "drive.h"
#include "run_lines.h"
#include "serial/serial_link.h"

int main() {
  using namespace px::chaos;
  std::ios::sync_with_stdio(false);
  fputs("ready\n", stdout);
  fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    RunRequest request;
    RunReply reply;
    std::string error;
    if (!DecodeRequest(line, request, error)) {
      reply.error = "a request that does not read: " + error;
    } else {
      reply.seed = request.run.seed;
      px::CSerialLink link;
      DriveOptions options;
      options.trace = request.trace;
      reply.shown = DriveUpdate(link, request.port, request.run, options);
      reply.lineFailed = link.LineFailed();
      link.Close();
    }
    fputs((EncodeReply(reply) + "\n").c_str(), stdout);
    fflush(stdout);
  }
  return 0;
}
