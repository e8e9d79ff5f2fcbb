#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnok::nowplaying {

// Where an update came from; named in the log line and the metrics.
// Http: POST /nowplaying and GET /nowplaying; Metadata: the streaming
// server's metadata update (GET /admin/metadata); Udp: a datagram.
enum class Source { Http, File, Broker, Udp, Metadata };
inline constexpr std::size_t kSourceCount = 5;

std::string_view sourceName(Source source);

// One now-playing update as a source hands it on: UTF-8 text as the source
// gave it (not yet cleaned; rendering replaces broken sequences and control
// characters). Every source hands this plain value to one function.
struct Update {
  std::string artist;
  std::string title;
  std::string album;
  std::string category = {};  // the playout's own word for the item: "Jingles"
  std::optional<double> durationSeconds = std::nullopt;  // unset when not given or not read

  bool operator==(const Update&) const = default;
};

}  // namespace varnok::nowplaying
