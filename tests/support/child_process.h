#pragma once
// Runs programs for the end-to-end tests (POSIX).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace px::test {

struct ProcessResult {
  int exitCode = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
};

// A child process with its stdout and stderr collected; its stdin is stdinFd (such as a
// terminal's), or /dev/null.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
          int stdinFd = -1) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      dup2(stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY), 0);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      Wait(5000);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  // Reads what is there; with a line wanted, waits up to timeoutMs for one on stdout.
  bool ReadLine(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      const size_t nl = result_.out.find('\n', consumed_);
      if (nl != std::string::npos) {
        line = result_.out.substr(consumed_, nl - consumed_);
        consumed_ = nl + 1;
        return true;
      }
      Pump(50);
    }
    return false;
  }

  // Waits up to timeoutMs for the text to show on stderr.
  bool WaitForError(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (result_.err.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Pump(50);
    }
    return true;
  }

  void Signal(int sig) { kill(pid_, sig); }
  pid_t Pid() const { return pid_; }

  // Waits for the end; false after timeoutMs (the child is then killed).
  bool Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_) {
      Pump(20);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        done_ = true;
        return false;
      }
    }
    while (Pump(0)) {
    }
    return true;
  }
  const ProcessResult& Result() const { return result_; }

 private:
  // True when anything was read.
  bool Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return false;
    bool any = false;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
          any = true;
        }
      }
    }
    return any;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool done_ = false;
  size_t consumed_ = 0;
  ProcessResult result_;
};

inline ProcessResult Run(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, int timeoutMs = 120000) {
  Process p(argv, env);
  p.Wait(timeoutMs);
  return p.Result();
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The first value named `key` in a JSON text, in the text's order and at any depth, as JSON
// ("true", "6", "\"identify\""); "" when absent or the text is no JSON.
inline std::string JsonValue(const std::string& text, const std::string& key) {
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(text, nullptr, false);
  std::string found;
  std::function<bool(const nlohmann::ordered_json&)> look = [&](const nlohmann::ordered_json& j) {
    if (j.is_object()) {
      for (const auto& item : j.items()) {
        if (item.key() == key) {
          found = item.value().dump();
          return true;
        }
        if (look(item.value())) return true;
      }
    } else if (j.is_array()) {
      for (const auto& inner : j) {
        if (look(inner)) return true;
      }
    }
    return false;
  };
  look(json);
  return found;
}

// How often `what` stands in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace px::test
