// px550-sim as a process on a pseudo-terminal, driven by a scripted client.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/codec.h"
#include "protocol/messages.h"
#include "sim/framer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/px550-sim-test-" + std::to_string(getpid()) + "-" +
         name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One px550-sim process: stdout through a pipe, stderr into a file.
class CSimProcess {
 public:
  ~CSimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    unlink(errPath_.c_str());
  }

  void Start(std::vector<std::string> args) {
    errPath_ = TempPath("stderr-" + std::to_string(++count_));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(fds[1], 1);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      close(fds[0]);
      std::vector<char*> argv;
      static std::string path = PX550_SIM_PATH;
      argv.push_back(path.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }

  // The first line of stdout (the pty's path), or "" after timeoutMs.
  std::string ReadLine(int timeoutMs = 30000) {
    std::string line;
    const auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (SteadyClock::now() < until) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  // The exit status, or -1 if the process is still running after timeoutMs.
  int Wait(int timeoutMs = 30000) {
    const auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (SteadyClock::now() < until) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  void Signal(int sig) { kill(pid_, sig); }
  std::string Stderr() const { return Slurp(errPath_); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string errPath_;
  static inline int count_ = 0;
};

// The updater's end: the pty's slave side, raw.
class CClient {
 public:
  explicit CClient(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~CClient() { Close(); }
  bool ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void Send(const Bytes& m) {
    const auto until = SteadyClock::now() + std::chrono::seconds(30);
    size_t done = 0;
    while (done < m.size()) {
      if (SteadyClock::now() > until) {
        ADD_FAILURE() << "the pedal took only " << done << " of " << m.size() << " bytes";
        return;
      }
      const ssize_t w = write(fd_, m.data() + done, m.size() - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 50);
      }
    }
  }

  // The next whole message within timeoutMs; empty when none came (or the line broke).
  Bytes Receive(int timeoutMs = 30000) {
    const auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (SteadyClock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t b;
      const ssize_t n = read(fd_, &b, 1);
      if (n < 0 && errno == EAGAIN) continue;
      if (n != 1) {
        broken_ = true;
        return {};
      }
      if (framer_.Push(b) == px::sim::CPedalFramer::Heard::Message) return framer_.message();
    }
    return {};
  }
  bool broken() const { return broken_; }

  // Sends and returns the status of an Ack (or -1 for any other answer, -2 for none).
  int Exchange(const Bytes& m, int timeoutMs = 30000) {
    Send(m);
    const Bytes a = Receive(timeoutMs);
    if (a.empty()) return -2;
    return a.size() == 7 && a[4] == px::kCmdAck ? a[5] : -1;
  }

 private:
  int fd_ = -1;
  bool broken_ = false;
  px::sim::CPedalFramer framer_;
};

Bytes Identity() {
  return Bytes(px::IdentityRequest.begin(), px::IdentityRequest.end());
}
Bytes Six(px::Message (*compose)(uint8_t)) {
  return compose(0x5E);
}
Bytes Erase() {
  return px::ComposeRomErase(0x5E, 0x000A0000, 0x00100000);
}
Bytes Write(const Bytes& data, uint32_t address) {
  return px::ComposeRomWrite(0x5E, data.data(), address, static_cast<uint32_t>(data.size()));
}

Bytes Image(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 37 + (i >> 8));
  return b;
}

class SimPty : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = TempPath(
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".json");
    image_ = TempPath("image.bin");
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(Image(5000).data()), 5000);
  }
  void TearDown() override {
    unlink(report_.c_str());
    unlink(image_.c_str());
  }

  // A member-0 pedal, unpaced and quick, with the common options.
  std::string StartPty(CSimProcess& sim, std::vector<std::string> extra) {
    std::vector<std::string> args = {
        "--pty", "--baud",   "0",     "--latency",      "1",   "--erase-ms", "50", "--member",
        "0",     "--report", report_, "--expect-image", image_};
    args.insert(args.end(), extra.begin(), extra.end());
    sim.Start(args);
    return sim.ReadLine();
  }

  // UpdateStart, the pause the updater takes after it, the erase and the one block.
  void StartEraseWrite(CClient& c) {
    ASSERT_EQ(c.Exchange(Six(px::ComposeUpdateStart)), 0);
    // Time has to pass here: the pedal measures this pause and blames a short one.
    std::this_thread::sleep_for(std::chrono::milliseconds(520));
    ASSERT_EQ(c.Exchange(Erase()), 0);
    ASSERT_EQ(c.Exchange(Write(Image(5000), 0x000A0000)), 0);
  }

  // The report as JSON; a report that does not read as JSON fails the test.
  nlohmann::json Report() const {
    const std::string text = Slurp(report_);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    EXPECT_FALSE(j.is_discarded()) << text;
    return j.is_discarded() ? nlohmann::json::object() : j;
  }
  // Whether a list of the report (violations, refusals, faults) has an entry whose "what" holds
  // the text.
  static bool Lists(const nlohmann::json& list, const std::string& text) {
    for (const nlohmann::json& e : list) {
      if (e.value("what", "").find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::string report_;
  std::string image_;
};

TEST_F(SimPty, ScriptedUpdateAndReport) {
  CSimProcess sim;
  const std::string path = StartPty(sim, {"--once", "--linger", "3600000"});
  ASSERT_FALSE(path.empty()) << sim.Stderr();
  CClient c(path);
  ASSERT_TRUE(c.ok());
  c.Send(Identity());
  const Bytes id = c.Receive();
  ASSERT_EQ(id.size(), 15u);
  EXPECT_EQ(id[1], 0x7E);
  EXPECT_EQ(id[4], 0x02);
  EXPECT_EQ(id[6], 0x5E);
  EXPECT_EQ(id[8], 0);
  StartEraseWrite(c);
  ASSERT_EQ(c.Exchange(Six(px::ComposeUpdateComplete)), 0);
  c.Close();  // the updater is done: --once ends without waiting out the linger
  EXPECT_EQ(sim.Wait(), 0) << sim.Stderr();
  const nlohmann::json r = Report();
  EXPECT_EQ(r.value("success", false), true) << r.dump(2);
  EXPECT_EQ(r["flash"]["expectedImage"].value("matches", false), true);
  EXPECT_EQ(r["messages"].value("RomWrite", 0), 1);
  EXPECT_TRUE(r.contains("violations") && r["violations"].empty());
  EXPECT_NE(sim.Stderr().find("update complete, flash equals the image"), std::string::npos);
}

TEST_F(SimPty, OnceFailsWhenTheUpdateIsNotClean) {
  {
    // No pause after UpdateStart, and a block refused for its CRC that is never resent.
    CSimProcess sim;
    CClient c(StartPty(sim, {"--once", "--linger", "200"}));
    ASSERT_TRUE(c.ok());
    c.Send(Identity());
    ASSERT_FALSE(c.Receive().empty());
    ASSERT_EQ(c.Exchange(Six(px::ComposeUpdateStart)), 0);
    ASSERT_EQ(c.Exchange(Erase()), 0);
    Bytes bad = Write(Image(5000), 0x000A0000);
    bad[20] ^= 0x01;
    EXPECT_EQ(c.Exchange(bad), 22);
    ASSERT_EQ(c.Exchange(Six(px::ComposeUpdateComplete)), 0);
    EXPECT_EQ(sim.Wait(), 1);  // the linger ran out with the updater still connected
    const nlohmann::json r = Report();
    EXPECT_TRUE(Lists(r["violations"], "after UpdateStart was answered")) << r.dump(2);
    EXPECT_EQ(r["flash"]["expectedImage"].value("matches", true), false);
  }
  {
    // A fault end to end: a low battery at UpdateStart; the updater gives up and closes.
    CSimProcess sim;
    CClient c(StartPty(sim, {"--once", "--fault", "UpdateStart:all:status=12"}));
    ASSERT_TRUE(c.ok());
    c.Send(Identity());
    ASSERT_FALSE(c.Receive().empty());
    EXPECT_EQ(c.Exchange(Six(px::ComposeUpdateStart)), 12);
    c.Close();
    EXPECT_EQ(sim.Wait(), 1);
    const nlohmann::json r = Report();
    EXPECT_TRUE(Lists(r["faults"], "UpdateStart:all:status=12")) << r.dump(2);
    EXPECT_EQ(r.value("updateComplete", true), false);
  }
}

// On a slow line the answer to UpdateComplete takes longer than the pedal's own tick: with no
// linger the pedal still ends only once that answer has left.
TEST_F(SimPty, NoLingerStillSendsTheLastAnswer) {
  CSimProcess sim;
  sim.Start({"--pty", "--baud", "600", "--latency", "1", "--erase-ms", "10", "--member", "0",
             "--settle-ms", "0", "--once", "--linger", "0"});
  CClient c(sim.ReadLine());
  ASSERT_TRUE(c.ok());
  c.Send(Identity());
  ASSERT_EQ(c.Receive().size(), 15u);
  ASSERT_EQ(c.Exchange(Six(px::ComposeUpdateStart)), 0);
  ASSERT_EQ(c.Exchange(Erase()), 0);
  ASSERT_EQ(c.Exchange(Write(Image(100), 0x000A0000)), 0);
  EXPECT_EQ(c.Exchange(Six(px::ComposeUpdateComplete)), 0);
  EXPECT_EQ(sim.Wait(), 0) << sim.Stderr();
}

TEST_F(SimPty, LineDroppedByAFault) {
  // The line goes down inside the second message: the client's end breaks and the
  // simulator leaves by itself.
  CSimProcess sim;
  CClient c(StartPty(sim, {"--disconnect-after-bytes", "9", "--trace"}));
  ASSERT_TRUE(c.ok());
  c.Send(Identity());
  ASSERT_EQ(c.Receive().size(), 15u);
  EXPECT_EQ(c.Exchange(Six(px::ComposeUpdateStart), 1500), -2);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_TRUE(c.Receive(200).empty());
  EXPECT_TRUE(c.broken());
  EXPECT_EQ(Report().value("disconnected", false), true);
  EXPECT_NE(sim.Stderr().find("line down after 9 bytes"), std::string::npos) << sim.Stderr();
}

TEST_F(SimPty, LinkSurvivesReopenAndSignalWritesReport) {
  const std::string link = TempPath("link");
  CSimProcess sim;
  const std::string path = StartPty(sim, {"--link", link});
  ASSERT_FALSE(path.empty()) << sim.Stderr();
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(path, target);
  for (int round = 0; round < 2; ++round) {
    // The updater closes and reopens the port between runs.
    CClient c(link);
    ASSERT_TRUE(c.ok());
    c.Send(Identity());
    EXPECT_EQ(c.Receive().size(), 15u) << "round " << round;
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  const nlohmann::json r = Report();
  EXPECT_EQ(r["messages"].value("IdentityRequest", 0), 2) << r.dump(2);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);  // removed on the way out
}

TEST_F(SimPty, BadOptionsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--pty", "--port", "/dev/null"},
      {"--port", "/dev/null", "--link", "/tmp/x"},
      {"--pty", "--fault", "RomWrite:all:explode"},
      {"--pty", "--family", "0x80"},
      {"--pty", "--drop-in", "1.5"},
      {"--pty", "--revision", "12345"},
      {"--pty", "--expect-image", "/nonexistent/image.bin"},
      {"--pty", "--no-such-option"},
  };
  for (const auto& args : cases) {
    CSimProcess sim;
    sim.Start(args);
    EXPECT_EQ(sim.Wait(), 2) << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(sim.Stderr().empty());
  }
}

}  // namespace
