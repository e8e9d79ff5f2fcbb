// The station's texts file on arbitrary content. Properties: no crash; a
// plan taken keeps its own rules (every list has a text, a dwell of at least
// a second, at least four for the PS, windows within the day), and asking
// which list is on is defined for every moment of the week.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "nowplaying/texts_plan.h"

using namespace varnok::nowplaying;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> encoders = {"Studio A", "Studio B"};
  const Parsed<TextsPlan> parsed = parseTextsPlan(content, encoders);
  VARNOK_FUZZ_CHECK(parsed.ok() != !parsed.error.empty());
  if (!parsed.ok()) return 0;
  for (const TextList& list : parsed.value->lists) {
    VARNOK_FUZZ_CHECK(!list.texts.empty());
    VARNOK_FUZZ_CHECK(list.dwellSeconds >= (list.target == TextTarget::Ps ? 4 : 1));
    VARNOK_FUZZ_CHECK(list.fromMinute >= 0 && list.fromMinute < 1440);
    VARNOK_FUZZ_CHECK(list.toMinute >= 0 && list.toMinute <= 1440);
    VARNOK_FUZZ_CHECK(list.minutesPerWeek() >= 0 && list.minutesPerWeek() <= 7 * 1440);
  }
  for (int day = 0; day < 7; ++day) {
    for (int minute = 0; minute < 1440; minute += 97) {
      for (const char* encoder : {"Studio A", "studio b", "Other"}) {
        if (const TextList* on = parsed.value->active(encoder, TextTarget::Rt, day, minute)) {
          VARNOK_FUZZ_CHECK(on->covers(day, minute) && on->forEncoder(encoder));
        }
      }
    }
  }
  return 0;
}
