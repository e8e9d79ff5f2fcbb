// Command files: the input is a command file in the program folder, handed
// over as "FILE:name" the way a second copy does; the same bytes, cut to
// what a second copy may send, are then handed over as a plain command.
// The dispatcher has two enabled encoders and repeats every command once;
// its timers are stopped, so nothing is dialled and nothing expires.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dispatcher/dispatcher.h"
#include "fuzz_support.h"
#include "instance/hand_off_text.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/command_text.h"
#include "platform/event_loop.h"
#include "support/dispatcher_peer.h"

namespace {

struct Rig {
  Rig() {
    // Ports 1 and 2 on loopback: nothing listens there, and nothing dials
    // them anyway with the dispatch timer stopped.
    scratch.write("varnok.ini",
                  "[General]\nEncoderCount=2\nThreads=2\nRepeat=1\n"
                  "[Inputs]\nSocket=0\nFile=1\nCmdLine=1\n"
                  "[Encoder1]\nName=Studio A\nHost=127.0.0.1\nPort=1\n"
                  "[Encoder2]\nName=Studio B\nHost=127.0.0.1\nPort=2\n");
    app.dispatch([this] { dispatcher.start(); });
    peer.dispatchTimer().setEnabled(false);
    peer.resumeTimer().setEnabled(false);
    peer.expiryTimer().setEnabled(false);
    const auto& encoders = dispatcher.encoders();
    VARNOK_FUZZ_CHECK(encoders.size() == 2 && encoders[0].enabled && encoders[1].enabled);
  }

  varnok::fuzz::ScratchFolder scratch;
  varnok::ManualClock clock;
  varnok::Application app;
  varnok::EventLoop loop{clock, app};
  varnok::Dispatcher dispatcher{loop, scratch.folder()};
  varnok::DispatcherPeer peer{dispatcher};
};

bool loggedLast(const varnok::Dispatcher& dispatcher, const std::string& text) {
  const auto& lines = dispatcher.logView().lines();
  if (lines.empty()) return false;
  const std::string& last = lines.back();
  return last.size() >= text.size() &&
         last.compare(last.size() - text.size(), text.size(), text) == 0;
}

// Takes every queued command out the way the dispatch does, checking each;
// returns how many there were.
std::size_t drainAndCheck(Rig& rig) {
  const varnok::CommandQueues& queues = rig.dispatcher.queues();
  std::size_t taken = 0;
  for (int encoder = 0; encoder < static_cast<int>(queues.encoderCount()); ++encoder) {
    while (!queues.empty(encoder)) {
      const std::string command = rig.peer.takeNext(encoder);
      // Each command is queued with a CR unless it has one, and is never
      // longer than an INI value plus that CR.
      VARNOK_FUZZ_CHECK(!command.empty());
      VARNOK_FUZZ_CHECK(command.find('\r') != std::string::npos);
      VARNOK_FUZZ_CHECK(command.size() <= varnok::IniFile::kMaxValue + 1);
      ++taken;
    }
  }
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig rig;
  varnok::Dispatcher& dispatcher = rig.dispatcher;
  const std::string_view text = varnok::fuzz::asText(data, size);

  rig.scratch.write("fuzz.ini", text);
  bool read = false;
  rig.app.dispatch([&] {
    read = dispatcher.handOff("FILE:fuzz.ini  ") == varnok::Dispatcher::HandOff::Handled;
  });
  VARNOK_FUZZ_CHECK(read);  // the file is there, whatever it holds
  const std::size_t fromFile = drainAndCheck(rig);
  // Each command comes from a "CommandN=" line, and goes to each of the two
  // encoders twice at most.
  std::size_t lines = 0;
  for (char c : text) lines += c == '=' ? 1 : 0;
  VARNOK_FUZZ_CHECK(fromFile <= 4 * lines);
  if (fromFile > 0)
    VARNOK_FUZZ_CHECK(
        loggedLast(dispatcher, "File processed - " + rig.scratch.folder() + "fuzz.ini"));

  // A plain hand-off of the same bytes; a "FILE:" text would name a file
  // anywhere on this machine, so those are left to the part above.
  std::string plain(text.substr(0, varnok::kMaxHandOffText));
  if (!varnok::namesCommandFile(plain)) {
    rig.app.dispatch([&] { dispatcher.handOff(plain); });
    const std::size_t queued = drainAndCheck(rig);
    while (!plain.empty() && plain.back() == ' ') plain.pop_back();
    // Every enabled encoder gets it, twice with Repeat=1.
    VARNOK_FUZZ_CHECK(queued == (plain.empty() ? 0u : 4u));
  }
  return 0;
}
