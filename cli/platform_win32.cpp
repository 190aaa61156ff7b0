#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "cli/platform.h"

namespace px::cli {
namespace {

// The console calls its handler on a thread of its own: the watch that is on lends it these while
// the handler is set (they are set before it is, and cleared after it is taken away).
std::function<void()>* gOnInterrupt = nullptr;
std::atomic<bool>* gInterrupted = nullptr;
HANDLE gInterruptedEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    if (gInterrupted != nullptr && !gInterrupted->exchange(true)) {
      if (gInterruptedEvent != nullptr) SetEvent(gInterruptedEvent);
      if (gOnInterrupt != nullptr) (*gOnInterrupt)();
    }
    return TRUE;
  }
  return FALSE;
}

}  // namespace

CInterruptWatch::CInterruptWatch(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
  gOnInterrupt = &onInterrupt_;
  gInterrupted = &interrupted_;
  gInterruptedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  interruptedSignal_[0] = reinterpret_cast<intptr_t>(gInterruptedEvent);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CInterruptWatch::~CInterruptWatch() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  gOnInterrupt = nullptr;
  gInterrupted = nullptr;
  if (gInterruptedEvent != nullptr) CloseHandle(gInterruptedEvent);
  gInterruptedEvent = nullptr;
}

// A console's input handle can be waited on; a pipe's cannot, and then the read itself waits.
bool CInterruptWatch::WaitForInput() const {
  if (interrupted_.load()) return false;
  HANDLE handles[2] = {GetStdHandle(STD_INPUT_HANDLE),
                       reinterpret_cast<HANDLE>(interruptedSignal_[0])};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
  return woke == WAIT_OBJECT_0 || (woke == WAIT_FAILED && !interrupted_.load());
}

bool ListFixturePorts(const std::string&, const std::string&, std::vector<PortEntry>&) {
  return false;
}

bool IsTerminal(FILE* file) {
  DWORD mode = 0;
  HANDLE h = GetStdHandle(file == stdin ? STD_INPUT_HANDLE
                                        : (file == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE));
  return GetConsoleMode(h, &mode) != 0;
}

size_t PrepareTerminal(FILE* file) {
  HANDLE h = GetStdHandle(file == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(h, &mode)) return 0;
  // Cursor movements are escape sequences, which a console takes once asked to.
  SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  if (!GetConsoleScreenBufferInfo(h, &info)) return 0;
  return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

bool AskYesNo(const std::string& question, const CInterruptWatch& interrupt) {
  fprintf(stderr, "%s [y/N] ", question.c_str());
  fflush(stderr);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string answer;
  while (interrupt.WaitForInput()) {
    char c;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got != 1) return false;
    if (c == '\r') continue;
    if (c == '\n') return IsYes(answer);
    answer += c;
  }
  return false;
}

// Windows answers a port that another program holds with "access denied".
HintCause OpenErrorCause(int error) {
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return HintCause::kBusy;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return HintCause::kMissing;
  return HintCause::kNone;
}

}  // namespace px::cli
