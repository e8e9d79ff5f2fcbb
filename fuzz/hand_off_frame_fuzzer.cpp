// The frame the running copy reads from a second copy. The input's first
// byte picks how the rest is cut into pieces (as the socket may deliver it);
// the rest is the bytes on the wire.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "instance/channel.h"
#include "instance/hand_off_text.h"

namespace {

using varnok::channel::FrameParser;
using State = FrameParser::State;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t cut = data[0];
  const std::string_view wire = varnok::fuzz::asText(data + 1, size - 1);

  // Piece sizes run through 1 .. step, or the whole at once for step 0.
  const std::size_t step = cut % 32;
  FrameParser pieces;
  std::size_t fed = 0;
  std::size_t completeAt = 0;  // bytes fed when the frame became whole
  for (std::size_t n = 1; fed < wire.size(); ++n) {
    const std::size_t piece =
        step == 0 ? wire.size() : std::min(wire.size() - fed, 1 + (n - 1) % step);
    const State before = pieces.state();
    const State after = pieces.feed(wire.data() + fed, piece);
    fed += piece;
    VARNOK_FUZZ_CHECK(after == pieces.state());
    // Once decided, a parser stays decided; bytes after a whole frame spoil it.
    if (before == State::Bad) VARNOK_FUZZ_CHECK(after == State::Bad);
    if (before == State::Complete) VARNOK_FUZZ_CHECK(after == State::Bad);
    if (before == State::NeedMore && after == State::Complete) completeAt = fed;
  }
  if (cut & 0x80) {  // an empty read changes nothing
    const State last = pieces.state();
    VARNOK_FUZZ_CHECK(pieces.feed(wire.data(), 0) == last);
  }

  // However the bytes were cut, the outcome is that of reading them at once.
  FrameParser whole;
  const State once = whole.feed(wire.data(), wire.size());
  VARNOK_FUZZ_CHECK(once == pieces.state());

  if (once == State::Complete) {
    VARNOK_FUZZ_CHECK(completeAt == wire.size());
    VARNOK_FUZZ_CHECK(whole.title() == pieces.title() && whole.text() == pieces.text());
    VARNOK_FUZZ_CHECK(whole.title().size() <= varnok::channel::kMaxTitle);
    VARNOK_FUZZ_CHECK(whole.text().size() <= varnok::kMaxHandOffText);
    // A frame is read back only from exactly the bytes a sender makes.
    VARNOK_FUZZ_CHECK(varnok::channel::encodeFrame(whole.title(), whole.text()) == wire);
  }
  if (once == State::NeedMore && wire.size() >= 4) {
    VARNOK_FUZZ_CHECK(wire.substr(0, 4) == std::string_view("VNK1", 4));
  }
  return 0;
}
