// The UECP frame reader on whatever an encoder might send, split at a point
// the input picks, and the command dialect on arbitrary lines. Properties:
// the reader never keeps more than one frame's worth of bytes, every frame
// it finds frames again into bytes it reads back as the same frame, and
// every element a line becomes fits in a frame.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "encoder/uecp.h"
#include "fuzz_support.h"

namespace {

using namespace varnok::uecp;

void roundTrips(const Frame& f) {
  const auto bytes = frame(f.address, f.sequence, f.message);
  VARNOK_FUZZ_CHECK(bytes.ok());
  FrameReader again;
  again.feed(bytes.value());
  const auto back = again.next();
  VARNOK_FUZZ_CHECK(back && back->ok() && back->value() == f);
  VARNOK_FUZZ_CHECK(!again.next() && again.buffered() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const std::size_t split = input.empty() ? 0 : data[0] % (input.size() + 1);
  FrameReader reader;
  for (const auto part : {input.first(split), input.subspan(split)}) {
    reader.feed(part);
    while (const auto next = reader.next()) {
      if (next->ok()) {
        roundTrips(next->value());
      } else {
        VARNOK_FUZZ_CHECK(next->error().code > 0 && next->error().code <= 13);
      }
    }
    VARNOK_FUZZ_CHECK(reader.buffered() <= kMaxFrameBytes);
  }

  DialectState state;
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\r', start), text.size());
    const auto element = elementFor(text.substr(start, end - start), Params{}, state);
    if (element) {
      VARNOK_FUZZ_CHECK(!element.value().empty() && element.value().size() <= kMaxMessage);
      VARNOK_FUZZ_CHECK(frame(0, 1, element.value()).ok());
    }
    start = end + 1;
  }
  return 0;
}
