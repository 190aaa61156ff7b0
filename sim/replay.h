#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

// Replaying a recorded run: the pedal's side of a trace written by px550-update --trace, played
// back against any build of the updater. It answers each request as the trace shows, after the
// time the trace shows, and names the first place where the updater now sends something the
// trace does not. It knows nothing of the pedal's model: the trace is the pedal.
namespace px::sim {

// One message of a trace.
struct TraceMessage {
  bool fromUpdater = false;  // "->" in the trace; "<-" is the pedal's
  double seconds = 0;        // since the trace's start
  std::string name;          // as the trace describes it
  std::vector<uint8_t> bytes;
  size_t line = 0;  // in the trace file, from 1
};

// Reads a trace. With several pedals in one trace, port picks one ("" when it holds only one).
// False with a message for a file that is not a trace or a port that is not in it.
bool ReadTrace(std::istream& in, const std::string& port, std::vector<TraceMessage>& messages,
               std::string& error);

// The replay's decisions, apart from any line: what to send for each message of the updater.
class CReplay {
 public:
  struct Answer {
    std::chrono::microseconds delay;  // after the first byte of the message it answers
    std::vector<uint8_t> bytes;
  };

  explicit CReplay(std::vector<TraceMessage> trace);

  // The pedal's messages before the updater's first, sent as the line opens.
  std::vector<Answer> Opening();
  // A whole message from the updater: the answers the trace gives it. A message that the trace
  // does not have there ends the replay's answers and is kept as the difference.
  std::vector<Answer> OnUpdaterMessage(const uint8_t* data, size_t length);
  // The updater closed the line: if the trace goes on, that is a difference too.
  void OnLineClosed();

  bool Diverged() const { return !difference_.empty(); }
  // Every updater message of the trace came, as traced.
  bool Complete() const { return matched_ == expected_; }
  const std::string& Difference() const { return difference_; }
  size_t Matched() const { return matched_; }
  size_t Expected() const { return expected_; }
  size_t AnswersGiven() const { return answersGiven_; }
  // One line: how far the replay came and the difference, if any.
  std::string Summary() const;
  std::string ReportJson(const std::string& traceName) const;

 private:
  size_t NextUpdaterMessage() const;
  std::vector<Answer> AnswersAfter(size_t index);

  std::vector<TraceMessage> trace_;
  size_t next_ = 0;  // the trace's next message to play or to expect
  size_t matched_ = 0;
  size_t expected_ = 0;
  size_t answersGiven_ = 0;
  std::string difference_;
};

// Plays the replay on fd (a pty master or a serial port, taken over and closed) until the
// updater closes its end of a pty after talking, or stop() says so; then writes the JSON report
// to reportPath (unless "") and the summary on stderr. A difference goes to stderr as soon as it
// is seen. Returns the exit status: 0 when the updater sent everything as traced, 1 when it did
// not, 3 when the line or the report failed.
int ServeReplay(int fd, bool isPty, CReplay& replay, const std::string& reportPath,
                const std::string& traceName, const std::function<bool()>& stop);

}  // namespace px::sim
