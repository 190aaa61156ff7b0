#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/byte_link.h"
#include "protocol/messages.h"
#include "protocol/reply.h"

namespace px {

// One connection to a pedal over a port: the message set, the answers the pedal owes (with the
// stop), the reply receiver and the reply thread. The reply thread runs from the first Open (or
// StartReplyThread) until Close; Close and the destructor end it, wake the port's reader, join it
// and close the port.
class CPedalLink {
 public:
  explicit CPedalLink(IPortLink& port) : port_(port) {}
  // A connection that owns its port.
  explicit CPedalLink(std::unique_ptr<IPortLink> port) : owned_(std::move(port)), port_(*owned_) {}
  ~CPedalLink() { Close(); }
  CPedalLink(const CPedalLink&) = delete;
  CPedalLink& operator=(const CPedalLink&) = delete;

  enum class Opening { Opened, PortFailed, NoReplyThread };
  // Closes what was open, opens the port at kBaudRate, then starts the reply thread unless it
  // runs.
  Opening Open(int portNumber);
  Opening Open(const std::string& portName);
  // Starts the reply thread unless it runs; false when the system cannot start it.
  bool StartReplyThread();
  // Tells the reply thread to end and wakes it from its read, without waiting for it.
  void EndReplies();
  // EndReplies, then waits for the reply thread and closes the port. Harmless twice.
  void Close();

  // From any thread: every wait and pause of a run over this connection ends at once, and from
  // then on the run sends nothing.
  void Stop() { answers_.Stop(); }
  bool Stopped() const { return answers_.Stopped(); }

  // The reply thread shows every message it reads or answers to the tap.
  void SetTap(IMessageTap* tap) { receiver_.SetTap(tap); }

  IPortLink& Port() { return port_; }
  CMessageSet& Messages() { return messages_; }
  CAnswerLedger& Answers() { return answers_; }

 private:
  Opening Opened(bool opened);

  std::unique_ptr<IPortLink> owned_;
  IPortLink& port_;
  CMessageSet messages_;
  CAnswerLedger answers_;
  CReplyReceiver receiver_{port_, answers_, messages_};
  std::mutex threadMutex_;
  std::thread replyThread_;
};

}  // namespace px
