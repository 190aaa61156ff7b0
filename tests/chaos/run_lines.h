#pragma once
#include <cstdint>
#include <string>

#include "drive.h"

// One run asked of the Windows runner and its answer, each one line of JSON: the campaign writes
// a request to the runner's standard input and reads the reply from its standard output.
namespace px::chaos {

struct RunRequest {
  UpdaterRun run;
  std::string port;  // "COM21"
  bool trace = false;
};

struct RunReply {
  uint64_t seed = 0;
  Shown shown;
  bool lineFailed = false;  // the link counted a failed read (the port went away)
  std::string error;        // the runner could not play the request; empty when it did
};

std::string EncodeRequest(const RunRequest& request);
// False with a message for a line that is not a whole request.
bool DecodeRequest(const std::string& line, RunRequest& request, std::string& error);
std::string EncodeReply(const RunReply& reply);
bool DecodeReply(const std::string& line, RunReply& reply, std::string& error);

}  // namespace px::chaos
