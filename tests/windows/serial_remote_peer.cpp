// The far end of a link under test when it runs under Wine: a pty on the Linux side, served by
// serial_pty_peer.py over a local TCP connection.
#include <winsock2.h>
// after winsock2.h
#include <tlhelp32.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "serial_link_peer.h"

namespace px::test {

namespace {

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

class RemotePeer final : public LinkPeer {
 public:
  RemotePeer() {
    static const bool started = [] {
      WSADATA data;
      return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    const char* port = std::getenv("PX_PEER_PORT");
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port ? std::atoi(port) : 0));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port == nullptr ||
        connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::fprintf(stderr, "no pty peer: run this test through serial_pty_peer.py\n");
      std::abort();
    }
    std::string reply = Request("NEW");
    name_ = reply.size() > 3 ? reply.substr(3) : "";
  }
  ~RemotePeer() override { closesocket(socket_); }

  std::string PortName() const override { return name_; }
  std::string MissingPortName() const override { return "COM250"; }
  std::string NotASerialPortName() override {
    std::string reply = Request("NUL");
    return reply.size() > 3 ? reply.substr(3) : "";
  }
  // Windows itself refuses a second open of a COM port; Wine does not.
  bool OpensAreExclusive() const override { return false; }
  void Write(const std::vector<uint8_t>& bytes) override { Request("W " + ToHex(bytes)); }
  std::vector<uint8_t> Read(size_t count, int timeoutMs, int bytesPerSecond, int delayMs) override {
    char line[96];
    std::snprintf(line, sizeof line, "R %zu %d %d %d", count, timeoutMs, bytesPerSecond, delayMs);
    std::string reply = Request(line);
    return FromHex(reply.size() > 2 ? reply.substr(2) : "");
  }
  size_t Fill() override {
    std::string reply = Request("F");
    return reply.size() > 3 ? std::strtoul(reply.c_str() + 3, nullptr, 10) : 0;
  }
  void HangUp() override { Request("H"); }

 private:
  std::string Request(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = line + "\n";
    for (size_t done = 0; done < out.size();) {
      int n = send(socket_, out.data() + done, static_cast<int>(out.size() - done), 0);
      if (n <= 0) return "";
      done += static_cast<size_t>(n);
    }
    std::string reply;
    char c = 0;
    while (recv(socket_, &c, 1, 0) == 1 && c != '\n') reply += c;
    return reply;
  }

  std::mutex mutex_;
  SOCKET socket_ = INVALID_SOCKET;
  std::string name_;
};

}  // namespace

std::unique_ptr<LinkPeer> MakeLinkPeer() {
  return std::make_unique<RemotePeer>();
}

int CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

int CountHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

}  // namespace px::test
