// Commands for encoders that take UECP: each line becomes a message element.
#include <algorithm>

#include "dispatcher/dispatcher.h"

namespace varnok {
namespace {

// How much of a key the log keeps, and how many keys it names per encoder.
constexpr std::size_t kMaxKeyShown = 32;
constexpr std::size_t kMaxKeysTold = 64;

}  // namespace

// Lines end at CR or LF (CRLF is one end, empty lines are skipped). A
// command with a line that has no element is not sent at all (the encoder
// gets all of a command or nothing of it) and counts as one failed send;
// the log names each such key once for each encoder.
std::vector<uecp::Bytes> Dispatcher::uecpElements(int encoder, std::string_view command,
                                                  bool rdsText) {
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  const uecp::Params params{e.dataSet, e.serviceNumber, rdsText ? nullptr : textToRds_};
  const auto tell = [&](const std::string& key, const std::string& why) {
    auto& told = e.unmappedKeysTold;
    if (told.size() >= kMaxKeysTold || std::find(told.begin(), told.end(), key) != told.end()) {
      return;
    }
    told.push_back(key);
    log("UECP command not sent - " + why + " (" + e.name + "); later " + key +
        " lines refused are counted without a note");
  };
  // What the command sets counts only once it goes out.
  uecp::DialectState state = e.dialect;
  std::vector<uecp::Bytes> elements;
  bool refused = false;
  while (!command.empty()) {
    const std::size_t end = std::min(command.find_first_of("\r\n"), command.size());
    const std::string_view line = command.substr(0, end);
    command.remove_prefix(std::min(end + 1, command.size()));
    if (line.empty()) continue;
    Result<uecp::Bytes> element = uecp::elementFor(line, params, state);
    if (element) {
      elements.push_back(std::move(element.value()));
    } else {
      refused = true;
      tell(std::string(line.substr(0, std::min({line.find('='), line.size(), kMaxKeyShown}))),
           element.error().message);
    }
  }
  if (elements.empty() && !refused) tell("empty", "a command without a line");
  if (refused || elements.empty()) {
    ++counters_.failedSends;
    return {};
  }
  e.dialect = std::move(state);
  return elements;
}

}  // namespace varnok
