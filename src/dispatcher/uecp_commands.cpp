// Commands for encoders that take UECP: each line becomes a message element.
#include <algorithm>

#include "dispatcher/dispatcher.h"

namespace varnok {
namespace {

// How much of a key the log keeps, and how many keys it names per encoder.
constexpr std::size_t kMaxKeyShown = 32;
constexpr std::size_t kMaxKeysTold = 64;

}  // namespace

// Lines end at CR or LF (CRLF is one end, empty lines are skipped). A line
// without an element is not sent: it counts as a failed send, and the log
// names its key once for each encoder.
std::vector<uecp::Bytes> Dispatcher::uecpElements(int encoder, std::string_view command,
                                                  bool rdsText) {
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  const uecp::Params params{e.dataSet, e.serviceNumber, rdsText ? nullptr : textToRds_};
  std::vector<uecp::Bytes> elements;
  while (!command.empty()) {
    const std::size_t end = std::min(command.find_first_of("\r\n"), command.size());
    const std::string_view line = command.substr(0, end);
    command.remove_prefix(std::min(end + 1, command.size()));
    if (line.empty()) continue;
    Result<uecp::Bytes> element = uecp::elementFor(line, params, e.dialect);
    if (element) {
      elements.push_back(std::move(element.value()));
      continue;
    }
    ++counters_.failedSends;
    const std::string key(line.substr(0, std::min({line.find('='), line.size(), kMaxKeyShown})));
    auto& told = e.unmappedKeysTold;
    if (told.size() < kMaxKeysTold && std::find(told.begin(), told.end(), key) == told.end()) {
      told.push_back(key);
      log("UECP line not sent - " + element.error().message + " (" + e.name + "); later " + key +
          " lines refused are counted without a note");
    }
  }
  return elements;
}

}  // namespace varnok
