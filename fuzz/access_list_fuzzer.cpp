// The access lists: varnok.vip and varnok.ban loaded from a program folder,
// then addresses matched against them.
//
// Input: the vip file, a line "%%", the ban file, a line "%%", then one
// address per line. Each file is written after a long line (which the loader
// drops) whose length comes from the input's first byte, so that the lines
// that count fall across the loader's read boundary at 4096 bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/dispatcher.h"
#include "fuzz_support.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/dispatcher_peer.h"

namespace {

using varnok::fuzz::splitAt;

struct Rig {
  varnok::fuzz::ScratchFolder scratch;
  varnok::ManualClock clock;
  varnok::Application app;
  varnok::EventLoop loop{clock, app};
  varnok::Dispatcher dispatcher{loop, scratch.folder()};
  varnok::DispatcherPeer peer{dispatcher};
};

// The parts of the input between lines that hold "%%" alone; the last part
// takes the rest, markers included.
std::vector<std::string_view> parts(std::string_view text, std::size_t count) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < count) {
    std::size_t at = text.substr(0, 3) == "%%\n" ? 0 : text.find("\n%%\n");
    if (at == std::string_view::npos) break;
    const std::size_t skip = at == 0 ? 3 : 4;
    out.push_back(text.substr(0, at == 0 ? 0 : at + 1));
    text.remove_prefix(at + skip);
  }
  out.push_back(text);
  out.resize(count);
  return out;
}

// The entries a list file gives: its lines without one trailing CR, those
// of 1 to 15 bytes.
std::vector<std::string> expectedEntries(std::string_view file) {
  std::vector<std::string> entries;
  for (std::string_view line : splitAt(file, '\n')) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.size() < 16) entries.emplace_back(line);
  }
  return entries;
}

// An entry matches the same address, or with a "*" every address that
// begins with what comes before the star.
bool listed(const std::vector<std::string>& list, const std::string& address) {
  for (const std::string& entry : list) {
    const std::size_t star = entry.find('*');
    if (star == std::string::npos ? entry == address
                                  : address.compare(0, star, entry.substr(0, star)) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig rig;
  varnok::DispatcherPeer& peer = rig.peer;
  const std::string_view text = varnok::fuzz::asText(data, size);
  const std::vector<std::string_view> part = parts(text, 3);

  const std::string filler(4000 + (size > 0 ? data[0] : 0), 'x');
  const std::string vipFile = filler + "\n" + std::string(part[0]);
  const std::string banFile = filler + "\n" + std::string(part[1]);
  rig.scratch.write("varnok.vip", vipFile);
  rig.scratch.write("varnok.ban", banFile);
  peer.intake().loadLists(rig.dispatcher.config().programFolder);
  const std::vector<std::string>& vipEntries = peer.intake().vipList().entries();
  const std::vector<std::string>& banEntries = peer.intake().banList().entries();
  VARNOK_FUZZ_CHECK(vipEntries == expectedEntries(vipFile));
  VARNOK_FUZZ_CHECK(banEntries == expectedEntries(banFile));

  std::vector<std::string> addresses;
  for (std::string_view line : splitAt(part[2], '\n')) {
    if (addresses.size() == 64) break;
    addresses.emplace_back(line);
  }
  // Each entry as an address too: an exact entry must match itself.
  for (const std::string& entry : banEntries) addresses.push_back(entry);
  for (const std::string& address : addresses) {
    const bool banned = listed(banEntries, address);
    const bool vip = listed(vipEntries, address);
    VARNOK_FUZZ_CHECK(peer.intake().inList(peer.intake().banList(), address) == banned);
    VARNOK_FUZZ_CHECK(peer.intake().inList(peer.intake().vipList(), address) == vip);
    VARNOK_FUZZ_CHECK(peer.intake().banned(address) == (banned && !vip));
  }
  return 0;
}
