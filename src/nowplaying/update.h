#pragma once

#include <string>
#include <string_view>

namespace varnok::nowplaying {

// Where an update came from; named in the log line and the metrics.
enum class Source { Http, File, Broker };

std::string_view sourceName(Source source);

// One now-playing update as a source hands it on: UTF-8 text as the source
// gave it (not yet cleaned; rendering replaces broken sequences and control
// characters). Every source hands this plain value to one function.
struct Update {
  std::string artist;
  std::string title;
  std::string album;

  bool operator==(const Update&) const = default;
};

}  // namespace varnok::nowplaying
