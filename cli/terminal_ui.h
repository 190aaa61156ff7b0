#pragma once
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_observer.h"
#include "serial/port_discovery.h"

namespace px::cli {

enum class ProgressMode { Bar, Plain, Json, None };

// The port list: on a terminal aligned columns under a header (mark, port, description,
// Bluetooth: yes, no, or incoming for the system's own incoming port), elsewhere the same
// columns tab-separated without one. `chosen` gets the mark.
std::string PortListText(const std::vector<PortEntry>& ports, int chosen, bool terminal);

// The line after an error that says what to try ("" for no hint).
std::string HintLine(const std::string& hint);

// One line per pedal on a terminal, redrawn in place (several pedals with --progress bar).
class CProgressBoard {
 public:
  // width: the terminal's columns (0 when unknown); longer lines are cut to fit.
  CProgressBoard(FILE* err, size_t rows, size_t width);
  // Sets a pedal's line. Changes are drawn at most every 100 ms, unless urgent.
  void SetLine(size_t row, const std::string& text, bool urgent);
  // Draws what is pending and leaves the lines where they are: whatever is printed next goes
  // below them, and the next change draws them anew below that.
  void Release();

 private:
  void DrawLocked();

  std::mutex mutex_;
  FILE* err_;
  size_t width_;
  std::vector<std::string> lines_;
  bool drawn_ = false;
  bool pending_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// Where one of several pedals shows itself.
struct TerminalLane {
  std::string port;  // "" for the only pedal: the output of a single update
  CProgressBoard* board = nullptr;
  size_t row = 0;
  size_t portWidth = 0;  // ports are padded to this on the board, so that the bars line up
};

// Shows one pedal's boxes and progress on a terminal or in a pipe. Alone it shows only the errors
// and the completion (--progress none); every other mode is a view over it (MakeTerminalUi). With
// several pedals each has its lane: its port starts every line (plain, none) and every object
// (json), and bar mode draws on the shared board.
class CTerminalUi : public IUpdateObserver {
 public:
  CTerminalUi(FILE* out, FILE* err, TerminalLane lane);

  // IUpdateObserver: failures and the completion are lines (or JSON events), the position the
  // bar's.
  void OnFailure(const UpdateFailure& failure) override { ShowError(failure.text); }
  void OnCompleted(const std::string& text) override { ShowCompletion(text); }
  void OnPosition(int percent) override { SetProgressPosition(percent); }
  void OnStep(UpdateStep step) override;
  void OnTransfer(uint64_t bytesDone, uint64_t bytesTotal) override;

  void ShowError(const std::string& text);
  void ShowCompletion(const std::string& text);
  void SetProgressPosition(int percent);

  // While held, errors are not shown: --all tells them as "left out" in its summary.
  void HoldErrors(bool hold);
  // A line of explanation on the error stream, after the port in a lane.
  void Note(const std::string& text);
  // Replaces the lane's line on the board (no effect without one).
  void SetBoardLine(const std::string& text);
  // How long the erase may take, shown while the flash is erased (0: not shown).
  void SetEraseLimitMs(uint32_t ms);
  // The end of the run: the final object of a json run (with the hint, "" for none), and the
  // hint's line on the error stream for the only pedal in the other modes.
  void Result(const char* status, int exitCode, const std::string& hint = "");

 protected:
  // What a mode shows, each called with the lock held: a step begun (step_ names it), bytes
  // confirmed (bytesDone_ of bytesTotal_), a new position (percent_), an error, the completion
  // and the run's end. By default an error and the completion are lines, and the end is the
  // hint's line for the only pedal.
  virtual void ShowStepLocked(UpdateStep /*step*/) {}
  virtual void ShowTransferLocked() {}
  virtual void ShowPositionLocked() {}
  virtual void ShowErrorLocked(const std::string& text);
  virtual void ShowCompletionLocked(const std::string& text);
  virtual void ShowResultLocked(const char* status, int exitCode, const std::string& hint);
  // Ends whatever the mode keeps redrawing on its line, before a line of its own.
  virtual void EndLineLocked() {}

  // The port, padded so that the lanes' texts line up, and the text on the lane's row.
  void PutOnBoard(const std::string& text, bool urgent);
  std::string Tag() const;

  FILE* out_;
  FILE* err_;
  TerminalLane lane_;
  mutable std::mutex mutex_;
  int percent_ = 0;
  uint64_t bytesDone_ = 0;
  uint64_t bytesTotal_ = 0;
  UpdateStep lastStep_ = UpdateStep::Identify;
  const char* step_ = "";
  uint32_t eraseLimitMs_ = 0;
  std::string lastError_;

 private:
  bool holdErrors_ = false;
};

// The view of a progress mode: a bar redrawn in place (or a board's row), plain lines, one JSON
// object a line, or only the errors and the completion.
std::unique_ptr<CTerminalUi> MakeTerminalUi(ProgressMode mode, FILE* out, FILE* err,
                                            TerminalLane lane = {});

}  // namespace px::cli
