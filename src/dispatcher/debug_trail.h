#pragma once

#include <cstddef>
#include <string>

namespace varnok {

// The marks the dispatcher leaves as it works. The letters are what an
// "Application Error ... (Debug: ...)" line shows, so they never change: a
// step that finishes adds End after its own mark, and a path that leaves a
// step early (an early return) leaves its mark without the comma.
enum class Mark : char {
  Start = '0',
  End = ',',
  Enqueue = 'A',
  Enqueued = 'B',
  Take = 'C',
  Taken = 'D',
  IsServed = 'E',
  WaitingUnserved = 'F',
  LongestWaiting = 'G',
  SystemMenu = 'H',
  ProducerData = 'I',
  IdleSlot = 'J',
  Serve = 'K',
  DispatchTick = 'L',
  Slot1Connected = 'M',
  Slot1Disconnected = 'N',
  Slot2Connected = 'O',
  Slot2Disconnected = 'P',
  ActiveCount = 'Q',
  Slot1Timer = 'R',
  Slot2Timer = 'S',
  SocketError = 'T',
  Exception = 'U',
  Close = 'W',
  Slot3Timer = 'W',  // the same letter as Close
  Slot4Timer = 'X',
  Slot3Connected = 'Y',
  Slot4Connected = 'Z',
  Slot3Disconnected = 'a',
  Slot4Disconnected = 'b',
  Log = 'c',
  ProducerConnected = 'd',
  ProducerDisconnected = 'e',
  ToggleWindow = 'f',
  HandOff = 'h',
  CommandFile = 'i',
  Exit = 'j',
  InList = 'k',
  Banned = 'l',
  LoadList = 'm',
  ExpiryTick = 'n',
  Suspend = 'o',
  ResumeTick = 'p',
  Reload = 'r',
};

// The last kLength marks, oldest first, quoted in application error lines
// to show where the dispatcher was.
class DebugTrail {
 public:
  static constexpr std::size_t kLength = 50;

  // Replaces the whole trail by the start mark, as start-up does.
  void start() { text_.assign(1, static_cast<char>(Mark::Start)); }
  void mark(Mark m) {
    text_.push_back(static_cast<char>(m));
    if (text_.size() > kLength) text_.erase(0, text_.size() - kLength);
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace varnok
