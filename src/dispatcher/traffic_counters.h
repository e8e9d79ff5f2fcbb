#pragma once

#include <cstdint>

namespace varnok {

// Running totals since start-up, shown by the status window. Plain counts,
// bumped where the events happen; nothing reads them on the command road.
struct TrafficCounters {
  // Commands taken in, by the way they came.
  std::uint64_t receivedTcp = 0;      // producer chunks acknowledged
  std::uint64_t receivedHandOff = 0;  // texts from a second copy
  std::uint64_t receivedFile = 0;     // commands read from command files
  std::uint64_t receivedBroker = 0;   // messages taken from the broker
  std::uint64_t queued = 0;           // queue entries made (every copy, every encoder)
  std::uint64_t delivered = 0;        // entries written whole to an encoder's connection
  std::uint64_t expired = 0;          // entries dropped for their age
  std::uint64_t failedSends = 0;      // entries whose connection ended before they went out
  std::uint64_t replaced = 0;         // entries taken out for a newer now-playing text
  std::uint64_t cleared = 0;          // entries an operator cleared
  // Producer connections, decided by the access lists at their first chunk.
  std::uint64_t producersAccepted = 0;
  std::uint64_t producersRefused = 0;
};

}  // namespace varnok
