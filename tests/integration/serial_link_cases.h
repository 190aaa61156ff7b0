// Cases for CSerialLink over a real line, shared by the native build (a pty) and the Windows
// build under Wine (a COM port mapped to a pty). Included once per test program.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "serial/serial_link.h"
#include "serial_link_peer.h"
#include "wait_until.h"

namespace px::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 0xE0);
  return bytes;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<uint8_t> WithoutJunk(std::vector<uint8_t> bytes) {
  auto first =
      std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != LinkPeer::kJunk; });
  return std::vector<uint8_t>(first, bytes.end());
}

class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { peer_ = MakeLinkPeer(); }
  void TearDown() override {
    link_.Close();
    peer_.reset();
  }

  void OpenLink() { ASSERT_TRUE(link_.Open(peer_->PortName(), kBaud)) << link_.LastOpenError(); }

  std::vector<uint8_t> ReadFromLink(size_t count) {
    std::vector<uint8_t> bytes;
    auto start = Clock::now();
    uint8_t b = 0;
    while (bytes.size() < count && MsSince(start) < kEventDeadline.count()) {
      if (link_.ReadByte(b)) bytes.push_back(b);
    }
    return bytes;
  }

  // Sends n bytes through the link while the peer takes them, checking they arrive intact.
  void Pump(size_t n) {
    auto got = std::async(std::launch::async, [&] { return peer_->Read(n, 30000); });
    std::vector<uint8_t> all;
    for (size_t sent = 0; sent < n;) {
      auto part = Pattern(std::min<size_t>(4000, n - sent), static_cast<uint8_t>(sent));
      link_.Send(part.data(), static_cast<int>(part.size()));
      all.insert(all.end(), part.begin(), part.end());
      sent += part.size();
    }
    ASSERT_EQ(got.get(), all);
  }

  std::unique_ptr<LinkPeer> peer_;
  CSerialLink link_;
};

TEST_F(SerialLinkTest, CarriesBytesBothWaysInOrder) {
  OpenLink();
  EXPECT_TRUE(link_.IsOpen());
  // Bytes that come while nobody reads wait in the ring, in order.
  auto a = Pattern(100, 1), b = Pattern(150, 2), c = Pattern(50, 3);
  for (const auto* part : {&a, &b, &c}) peer_->Write(*part);
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::RxQueued(link_) == 300; },
                        "300 bytes in the receive ring"));
  EXPECT_EQ(ReadFromLink(300), Concat({a, b, c}));

  auto message = Pattern(700, 4);
  link_.Send(message.data(), static_cast<int>(message.size()));
  EXPECT_EQ(peer_->Read(message.size(), 3000), message);
}

TEST_F(SerialLinkTest, SendsAtAndAcrossTheRingEnd) {
  OpenLink();
  Pump(CSerialLink::kRingSize - 20);
  auto toEnd = Pattern(20, 5);
  link_.Send(toEnd.data(), 20);
  EXPECT_EQ(SerialLinkProbe::TxWriteIndex(link_), 0);
  EXPECT_EQ(peer_->Read(20, 3000), toEnd);

  Pump(CSerialLink::kRingSize - 10);
  auto across = Pattern(30, 6);
  link_.Send(across.data(), 30);
  EXPECT_EQ(peer_->Read(30, 3000), across);
  EXPECT_EQ(SerialLinkProbe::TxWriteIndex(link_), 20);
}

TEST_F(SerialLinkTest, SendsQueuedDuringAWriteLeaveInCallOrder) {
  OpenLink();
  size_t junk = peer_->Fill();
  auto a = Pattern(100, 7), b = Pattern(40, 8), c = Pattern(60, 9);
  link_.Send(a.data(), 100);
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::Writes(link_) >= 1; },
                        "the writer to start on the first message"));
  link_.Send(b.data(), 40);
  link_.Send(c.data(), 60);
  auto got = peer_->Read(junk + 200, kEventDeadline.count());
  EXPECT_EQ(WithoutJunk(got), Concat({a, b, c}));
  EXPECT_EQ(SerialLinkProbe::LostWrites(link_), 0u);
}

TEST_F(SerialLinkTest, PacedBlockArrivesWholeBehindTheNextRequest) {
  OpenLink();
  // A flash block takes 1.2 s at 115,200 baud; the next request must not reuse the writer's
  // buffer while the block is still going out.
  auto block = Pattern(14062, 10), next = Pattern(14062, 11);
  // The peer starts reading only after 800 ms, so the block is surely still going out when the
  // next request comes.
  auto got = std::async(std::launch::async, [&] {
    return peer_->Read(block.size() + next.size(), kEventDeadline.count(), 11520, 800);
  });
  link_.Send(block.data(), static_cast<int>(block.size()));
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::Writes(link_) >= 1; },
                        "the writer to start on the block"));
  link_.Send(next.data(), static_cast<int>(next.size()));
  EXPECT_EQ(got.get(), Concat({block, next}));
  EXPECT_EQ(SerialLinkProbe::LostWrites(link_), 0u);
}

TEST_F(SerialLinkTest, AWriteThatCannotGoOutIsGivenUpAfterItsTimeLimit) {
  OpenLink();
  size_t junk = peer_->Fill();
  auto stuck = Pattern(50, 12), after = Pattern(80, 13);
  auto start = Clock::now();
  link_.Send(stuck.data(), 50);
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::LostWrites(link_) > 0; },
                        "the stuck write to be given up"));
  // A lower bound only: the write had its 10 ms a byte + 1000 ms before it was given up.
  EXPECT_GE(MsSince(start), 1300);
  EXPECT_EQ(SerialLinkProbe::LostWrites(link_), 1u);
  peer_->Read(junk + 50, 1000);  // whatever of the stuck write got through
  link_.Send(after.data(), 80);
  EXPECT_EQ(peer_->Read(80, 3000), after);
}

// What the old opening received and what was queued while closed never show up: the first bytes
// through the new opening, either way, are the fresh ones.
TEST_F(SerialLinkTest, OpenDiscardsWhatEarlierOpeningsLeft) {
  OpenLink();
  peer_->Write(Pattern(20, 14));
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::RxQueued(link_) == 20; },
                        "20 bytes in the receive ring"));
  link_.Close();
  auto queuedWhileClosed = Pattern(10, 15);
  link_.Send(queuedWhileClosed.data(), 10);
  OpenLink();
  auto marker = Pattern(3, 17);
  link_.Send(marker.data(), 3);
  EXPECT_EQ(peer_->Read(3, kEventDeadline.count()), marker);
  auto fresh = Pattern(5, 16);
  peer_->Write(fresh);
  EXPECT_EQ(ReadFromLink(5), fresh);
}

TEST_F(SerialLinkTest, FailedOpensStartNoThread) {
  OpenLink();
  link_.Close();
  int threads = CountThreads();
  EXPECT_FALSE(link_.Open(peer_->MissingPortName(), kBaud));
  EXPECT_NE(link_.LastOpenError(), 0);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_FALSE(link_.Open(std::string(), kBaud));
  EXPECT_FALSE(link_.Open(-1, kBaud)) << "no port chosen";
  EXPECT_EQ(CountThreads(), threads);
}

// Something that opens but is no serial line must not pass for a port: the update would only
// time out long after. The open fails with the reason, and holds nothing afterwards.
TEST_F(SerialLinkTest, APortWhoseLineCannotBeSetUpDoesNotOpen) {
  const std::string name = peer_->NotASerialPortName();
  const int threads = CountThreads();
  const int handles = CountHandles();
  EXPECT_FALSE(link_.Open(name, kBaud));
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_NE(link_.LastOpenError(), 0);
  const std::string why = link_.LastOpenErrorText();
  EXPECT_NE(why.find(name), std::string::npos) << why;
  EXPECT_GT(why.size(), why.find(": ") + 2) << "the system's text follows: " << why;
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(CountHandles(), handles) << "closed again";
  OpenLink();
}

// A message that does not fit in the transmit ring is dropped whole and counted; what follows
// still goes out intact.
TEST_F(SerialLinkTest, AMessageTooLargeForTheRingIsDroppedWholeAndCounted) {
  OpenLink();
  EXPECT_EQ(link_.BytesDropped(), 0u);
  auto tooLarge = Pattern(CSerialLink::kRingSize, 17);
  link_.Send(tooLarge.data(), static_cast<int>(tooLarge.size()));
  EXPECT_EQ(link_.BytesDropped(), static_cast<uint64_t>(CSerialLink::kRingSize));
  auto next = Pattern(30, 18);
  link_.Send(next.data(), static_cast<int>(next.size()));
  EXPECT_EQ(peer_->Read(next.size() + 1, 1000), next);
}

TEST_F(SerialLinkTest, APortThatIsHeldIsRefused) {
  if (!peer_->OpensAreExclusive()) GTEST_SKIP() << "this platform shares ports between opens";
  OpenLink();
  CSerialLink other;
  int withOneLink = CountThreads();
  EXPECT_FALSE(other.Open(peer_->PortName(), kBaud));
  EXPECT_NE(other.LastOpenError(), 0);
  EXPECT_EQ(CountThreads(), withOneLink);
  link_.Close();
  EXPECT_TRUE(other.Open(peer_->PortName(), kBaud)) << "free again";
}

// How long these take is a figure of bench_serial_latency; here only that they return, and that
// ReadByte waits rather than letting a caller's loop spin.
TEST_F(SerialLinkTest, ClosedLinkAnswersWithoutBlocking) {
  link_.Close();
  uint8_t b = 0;
  auto start = Clock::now();
  EXPECT_FALSE(link_.ReadByte(b));
  EXPECT_GE(MsSince(start), 90);
}

TEST_F(SerialLinkTest, OpensAndClosesRepeatedlyWithoutLeaks) {
  OpenLink();
  link_.Close();
  int threads = CountThreads();
  int handles = CountHandles();
  for (int i = 0; i < 200; ++i) {
    OpenLink();
    if (i % 50 == 0) {
      uint8_t out = static_cast<uint8_t>(i);
      link_.Send(&out, 1);
      ASSERT_EQ(peer_->Read(1, 2000), std::vector<uint8_t>{out});
      peer_->Write({out});
      ASSERT_EQ(ReadFromLink(1), std::vector<uint8_t>{out});
    }
    link_.Close();
  }
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(CountHandles(), handles);
}

TEST_F(SerialLinkTest, ConcurrentSendersNeverInterleave) {
  OpenLink();
  constexpr int kPerThread = 500;
  // Frame: F0 sender seq-high seq-low length body... F7; at most 47 bytes, 1,000 fit in a ring.
  auto frame = [](int sender, int seq) {
    int length = 1 + (seq * 13 + sender * 5) % 40;
    std::vector<uint8_t> f(static_cast<size_t>(length) + 6, static_cast<uint8_t>(0x10 + sender));
    f[0] = 0xF0;
    f[1] = static_cast<uint8_t>(sender);
    f[2] = static_cast<uint8_t>(seq >> 7);
    f[3] = static_cast<uint8_t>(seq & 0x7F);
    f[4] = static_cast<uint8_t>(length);
    f.back() = 0xF7;
    return f;
  };
  size_t total = 0;
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < kPerThread; ++i) total += frame(s, i).size();
  }
  auto got =
      std::async(std::launch::async, [&] { return peer_->Read(total, kEventDeadline.count()); });
  // Both senders start together. A promise rather than std::latch: the latter never wakes its
  // waiters in the MinGW build under Wine.
  std::promise<void> start;
  std::shared_future<void> go = start.get_future().share();
  auto sender = [&](int s) {
    go.wait();
    for (int i = 0; i < kPerThread; ++i) {
      auto f = frame(s, i);
      link_.Send(f.data(), static_cast<int>(f.size()));
    }
  };
  std::thread first(sender, 0), second(sender, 1);
  start.set_value();
  first.join();
  second.join();
  std::vector<uint8_t> bytes = got.get();
  ASSERT_EQ(bytes.size(), total);
  int next[2] = {0, 0};
  for (size_t at = 0; at < bytes.size();) {
    int s = bytes[at + 1];
    ASSERT_TRUE(s == 0 || s == 1) << "at " << at;
    auto expected = frame(s, next[s]++);
    ASSERT_LE(at + expected.size(), bytes.size());
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + at))
        << "frame " << next[s] - 1 << " of sender " << s << " at " << at;
    at += expected.size();
  }
  EXPECT_EQ(next[0], kPerThread);
  EXPECT_EQ(next[1], kPerThread);
}

// A line where nothing arrives is quiet, however its reads end (Wine ends them with a time-out
// error); only the system's word that the port failed makes a lost port.
TEST_F(SerialLinkTest, AQuietLineIsNoLostPortAndAVanishedOneIs) {
  OpenLink();
  const uint64_t before = SerialLinkProbe::QuietReads(link_);
  ASSERT_TRUE(WaitUntil([&] { return SerialLinkProbe::QuietReads(link_) >= before + 10; },
                        "ten reads that found nothing"));
  EXPECT_FALSE(link_.LineFailed());
  peer_->HangUp();
  ASSERT_TRUE(WaitUntil([&] { return link_.LineFailed(); }, "the vanished port to be seen"));
}

// What the vanished port costs in CPU is a figure of bench_serial_latency; here the link stays
// usable and Close still ends both threads.
TEST_F(SerialLinkTest, AVanishedPortStillCloses) {
  OpenLink();
  peer_->HangUp();
  auto message = Pattern(10, 17);
  link_.Send(message.data(), 10);
  uint8_t b = 0;
  for (int i = 0; i < 5; ++i) link_.ReadByte(b);
  auto closed = std::async(std::launch::async, [&] { link_.Close(); });
  ASSERT_EQ(closed.wait_for(kEventDeadline), std::future_status::ready) << "Close did not end";
  EXPECT_FALSE(link_.IsOpen());
}

}  // namespace
}  // namespace px::test
