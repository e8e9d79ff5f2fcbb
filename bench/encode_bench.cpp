// What it costs to turn one command into the bytes its encoder is sent.
// ASCII lines go out as they are: at most a copy into the link's output. An
// encoder that takes UECP gets one element per line (uecp::elementFor, the
// texts converted to the RDS set as the program converts them), each framed
// with its address and sequence counter (uecp::frame), as
// Dispatcher::uecpElements and SenderSlot::send make them. varnok_bench_table
// sets the two side by side, per command.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "encoder/uecp.h"
#include "nowplaying/now_playing.h"

namespace varnok {
namespace {

// Argument 0: a now-playing title with its RT+ tags; 1: a station name.
const std::string kCommands[] = {"RT=Artist - Title of the song\rRTP=4,0,5,1,9,19\r",
                                 "PS=RADIO 1\r"};

const std::string& commandOf(const benchmark::State& state) {
  return kCommands[static_cast<std::size_t>(state.range(0))];
}

[[noreturn]] void setupFailed(const char* what) {
  std::fprintf(stderr, "varnok_bench: %s\n", what);
  std::abort();
}

// One encoder that takes UECP, with what it was last sent. encode() appends
// the frames of one command to the output, as the link would be handed them;
// false when a line has no element.
class UecpEncoder {
 public:
  explicit UecpEncoder(bool convert) : convert_(convert) {}

  bool encode(std::string_view command, std::string& out) {
    // As the dispatcher does per command: the parameters with the converter,
    // and a copy of the dialect state that is kept once everything mapped.
    const uecp::Params params{dataSet_, serviceNumber_,
                              convert_ ? uecp::TextToRds(nowplaying::rdsTextOf) : nullptr};
    uecp::DialectState state = dialect_;
    std::vector<uecp::Bytes> elements;
    while (!command.empty()) {
      const std::size_t end = std::min(command.find_first_of("\r\n"), command.size());
      const std::string_view line = command.substr(0, end);
      command.remove_prefix(std::min(end + 1, command.size()));
      if (line.empty()) continue;
      Result<uecp::Bytes> element = uecp::elementFor(line, params, state);
      if (!element) return false;
      elements.push_back(std::move(element.value()));
    }
    dialect_ = std::move(state);
    // As the sender slot does per element.
    for (const uecp::Bytes& element : elements) {
      sequence_ = static_cast<std::uint8_t>(sequence_ == 255 ? 1 : sequence_ + 1);
      const Result<uecp::Bytes> frame = uecp::frame(address_, sequence_, element);
      if (!frame) return false;
      out.append(reinterpret_cast<const char*>(frame.value().data()), frame.value().size());
    }
    return true;
  }

 private:
  bool convert_;
  std::uint8_t dataSet_ = 0;
  std::uint8_t serviceNumber_ = 0;
  std::uint16_t address_ = uecp::address(1, 1).value();
  std::uint8_t sequence_ = 0;
  uecp::DialectState dialect_;
};

// The ASCII path: the command's bytes as they are, into an output buffer
// that is kept from one command to the next.
void BM_EncodeAscii(benchmark::State& state) {
  const std::string& command = commandOf(state);
  std::string out;
  for (auto _ : state) {
    out.clear();
    out.append(command);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["bytes"] = static_cast<double>(out.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeAscii)->DenseRange(0, 1);

// The UECP path with the texts converted to the RDS set (the default for a
// producer's command), and without (texts already in the RDS set, as the
// now-playing rendering hands them over): the difference is the converter.
void encodeUecp(benchmark::State& state, bool convert) {
  const std::string& command = commandOf(state);
  UecpEncoder encoder(convert);
  std::string out;
  if (!encoder.encode(command, out)) setupFailed("a command the UECP path should take was refused");
  for (auto _ : state) {
    out.clear();
    if (!encoder.encode(command, out)) setupFailed("a UECP command was refused");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["bytes"] = static_cast<double>(out.size());
  state.SetItemsProcessed(state.iterations());
}

void BM_EncodeUecp(benchmark::State& state) {
  encodeUecp(state, true);
}
BENCHMARK(BM_EncodeUecp)->DenseRange(0, 1);

void BM_EncodeUecpRdsText(benchmark::State& state) {
  encodeUecp(state, false);
}
BENCHMARK(BM_EncodeUecpRdsText)->DenseRange(0, 1);

}  // namespace
}  // namespace varnok
