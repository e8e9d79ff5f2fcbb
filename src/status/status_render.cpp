#include "status/status_render.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/clock.h"

namespace varnok::status {
namespace {

// The code point that starts at text[i] and the bytes it takes; length 0
// when the bytes there are not well-formed UTF-8 (overlong forms, surrogates
// and values past U+10FFFF included).
struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;
};

CodePoint decodeAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t lowest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, lowest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, lowest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, lowest = 0x10000;
  } else {
    return {};
  }
  if (i + length > text.size()) return {};
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {};
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {};
  return {value, length};
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool validUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = decodeAt(text, i);
    if (cp.length == 0) return false;
    i += cp.length;
  }
  return true;
}

// Walks text by code points; a byte that starts no well-formed sequence is
// handed over alone as the character of the same number (ISO 8859-1), with
// valid set to false.
template <class Visit>
void eachCodePoint(std::string_view text, Visit visit) {
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = decodeAt(text, i);
    if (cp.length == 0) {
      visit(static_cast<char32_t>(static_cast<unsigned char>(text[i])), text.substr(i, 1), false);
      ++i;
    } else {
      visit(cp.value, text.substr(i, cp.length), true);
      i += cp.length;
    }
  }
}

const char kHexDigits[] = "0123456789abcdef";

void appendJsonEscape(std::string& out, char32_t cp) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHexDigits[(cp >> shift) & 0xF]);
}

std::string number(std::int64_t n) {
  return std::to_string(n);
}
std::string number(std::uint64_t n) {
  return std::to_string(n);
}

}  // namespace

std::string bytesAsText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string fileNameAsText(std::string_view bytes) {
  if (validUtf8(bytes)) return std::string(bytes);
  return bytesAsText(bytes);
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  eachCodePoint(text, [&](char32_t cp, std::string_view raw, bool valid) {
    switch (cp) {
      case '"':
        out += "\\\"";
        return;
      case '\\':
        out += "\\\\";
        return;
      case '\n':
        out += "\\n";
        return;
      case '\r':
        out += "\\r";
        return;
      case '\t':
        out += "\\t";
        return;
      default:
        break;
    }
    // Control characters (C0, DEL, C1) and the two line separators that
    // break JavaScript string literals are written as escapes; so is a byte
    // that is not UTF-8, which keeps the document valid whatever it holds.
    if (!valid || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
      appendJsonEscape(out, cp);
    } else {
      out.append(raw);
    }
  });
  out.push_back('"');
  return out;
}

std::string htmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  eachCodePoint(text, [&](char32_t cp, std::string_view raw, bool valid) {
    if (!valid || (cp >= 0x80 && cp <= 0x9F)) {
      appendUtf8(out, 0xFFFD);
    } else if (cp < 0x20 && cp != '\t') {
      appendUtf8(out, 0x2400 + cp);  // the control pictures: CR shows as U+240D
    } else if (cp == 0x7F) {
      appendUtf8(out, 0x2421);
    } else if (cp == '&') {
      out += "&amp;";
    } else if (cp == '<') {
      out += "&lt;";
    } else if (cp == '>') {
      out += "&gt;";
    } else if (cp == '"') {
      out += "&quot;";
    } else if (cp == '\'') {
      out += "&#39;";
    } else {
      out.append(raw);
    }
  });
  return out;
}

std::string metricLabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  eachCodePoint(text, [&](char32_t cp, std::string_view raw, bool valid) {
    if (!valid) {
      appendUtf8(out, 0xFFFD);  // label values must be UTF-8
    } else if (cp == '\\') {
      out += "\\\\";
    } else if (cp == '"') {
      out += "\\\"";
    } else if (cp == '\n') {
      out += "\\n";
    } else {
      out.append(raw);
    }
  });
  return out;
}

Snapshot takeSnapshot(const Dispatcher& dispatcher) {
  Snapshot s;
  const StatusTable& table = dispatcher.statusTable();
  s.title = dispatcher.loop().app().title();
  for (int c = 0; c < StatusTable::kColumns; ++c) {
    s.header[static_cast<std::size_t>(c)] = table.cell(c, 0);
  }
  if (dispatcher.listening()) s.listeningPort = dispatcher.listeningPort();
  s.listeningWanted = dispatcher.config().socketInput;
  s.produced = formatDateTime(dispatcher.loop().clock().now());
  const std::vector<Encoder>& encoders = dispatcher.encoders();
  const CommandQueues& queues = dispatcher.queues();
  s.encoders.reserve(encoders.size());
  for (std::size_t i = 0; i < encoders.size(); ++i) {
    const Encoder& k = encoders[i];
    EncoderState e;
    e.number = static_cast<int>(i) + 1;
    for (int c = 0; c < StatusTable::kColumns; ++c) {
      e.cells[static_cast<std::size_t>(c)] = table.cell(c, e.number);
    }
    e.name = k.name;
    // A serial encoder's device and rate, as in the table.
    const bool serial = k.transport == Transport::Serial;
    e.host = serial ? k.device : k.host;
    e.port = serial ? k.baud : k.port;
    e.queue =
        i < queues.encoderCount() ? static_cast<std::int64_t>(queues.size(static_cast<int>(i))) : 0;
    s.waiting += e.queue;
    for (const SenderSlot& slot : dispatcher.senderSlots()) {
      if (slot.encoder() == static_cast<int>(i))
        s.inFlight += static_cast<std::int64_t>(slot.commandsInFlight());
      if (slot.encoder() == static_cast<int>(i) && slot.connected()) {
        e.thread = slot.index() + 1;
        e.connected = true;
      }
    }
    e.errors = k.errors;
    e.errorsInRow = k.errorsInRow;
    e.enabled = k.enabled;
    e.suspended = k.enabled && !k.active;
    e.transport = k.transport == Transport::Udp      ? "udp"
                  : k.transport == Transport::Serial ? "serial"
                                                     : "tcp";
    e.confirms = !k.replyOk.empty() || k.confirmUecp;
    e.uecp = k.protocol == Protocol::Uecp;
    e.refused = k.refused;
    s.encoders.push_back(std::move(e));
  }
  s.log.assign(dispatcher.logView().lines().begin(), dispatcher.logView().lines().end());
  s.totals = dispatcher.counters();
  s.actions = dispatcher.controlCounts();
  s.producerConnections = static_cast<std::int64_t>(dispatcher.producerConnections());
  return s;
}

Snapshot takeSnapshot(const Dispatcher& dispatcher, const nowplaying::NowPlaying* nowPlaying,
                      const mqtt::Site* site) {
  Snapshot s = takeSnapshot(dispatcher);
  if (site != nullptr) {
    s.broker = BrokerState{site->settings().broker + ":" + std::to_string(site->settings().port),
                           site->connected()};
  }
  if (nowPlaying == nullptr) return s;
  NowPlayingState& state = s.nowPlaying.emplace();
  if (const auto& current = nowPlaying->current()) {
    state.onAir = true;
    state.artist = current->update.artist;
    state.title = current->update.title;
    state.album = current->update.album;
    state.source = current->idle ? "idle" : nowplaying::sourceName(current->source);
    state.radioText = current->radioText;
  }
  for (std::size_t i = 0; i < nowplaying::kSourceCount; ++i) {
    state.updates[i] = nowPlaying->updates(static_cast<nowplaying::Source>(i));
  }
  state.skipped = nowPlaying->skipped();
  const std::int64_t nowMs = dispatcher.loop().clock().monotonicMs();
  for (const auto& o : nowPlaying->overrides()) {
    state.overrides.push_back({o.id, o.text, o.encoders, o.priority,
                               std::max<std::int64_t>(0, (o.endsAtMs - nowMs) / 1000)});
  }
  return s;
}

std::string renderPage(const Snapshot& s) {
  const std::string title = htmlText(fileNameAsText(s.title));
  std::string out;
  out.reserve(4096 + 128 * s.log.size() + 512 * s.encoders.size());
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(kPageRefreshSeconds) + "\">\n<title>" + title + "</title>\n";
  out +=
      "<style>\n"
      ":root{color-scheme:light dark;font-family:system-ui,sans-serif}\n"
      "body{margin:0 auto;max-width:64rem;padding:1rem}\n"
      "h1{font-size:1.3rem;margin:0 0 .25rem}\n"
      "h2{font-size:1.05rem;margin:1.25rem 0 .5rem}\n"
      ".meta{color:#777;margin:0 0 1rem;font-size:.9rem}\n"
      "table{border-collapse:collapse;width:100%;font-size:.95rem}\n"
      "th,td{padding:.35rem .5rem;border-bottom:1px solid #8884;text-align:left;"
      "white-space:nowrap}\n"
      "td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}\n"
      ".alarm{color:#c02020;font-weight:bold}\n"
      "#totals{margin:0 0 1rem;font-size:.9rem}\n"
      "tr.suspended{background:#d0303022}\n"
      "tr.suspended td.state{color:#c02020;font-weight:bold}\n"
      "tr.off td{color:#888}\n"
      "pre{white-space:pre-wrap;overflow-wrap:anywhere;font-size:.85rem;background:#8881;"
      "padding:.5rem;border-radius:4px;margin:0}\n"
      "@media (max-width:40rem){\n"
      "thead{display:none}\n"
      "table,tbody,tr,td{display:block}\n"
      "tr{border:1px solid #8884;border-radius:6px;margin:0 0 .75rem;padding:.25rem .5rem}\n"
      "td,td.num{border:0;display:flex;justify-content:space-between;gap:1rem;"
      "white-space:normal;text-align:right;overflow-wrap:anywhere}\n"
      "td::before{content:attr(data-label);font-weight:bold;text-align:left}\n"
      "}\n"
      "</style>\n</head>\n<body>\n";
  out += "<h1>" + title + "</h1>\n<p class=\"meta\">";
  if (s.listeningPort) {
    out += "Listening on port " + std::to_string(*s.listeningPort);
  } else if (s.listeningWanted) {
    out += "<span class=\"alarm\">Not listening for producers</span>";
  } else {
    out += "Not listening for producers";
  }
  out += " &middot; as of <time id=\"produced\">" + htmlText(s.produced) +
         "</time> &middot; reloads every " + std::to_string(kPageRefreshSeconds) + " s</p>\n";
  if (s.broker) {
    out += "<p id=\"mqtt\">MQTT broker " + htmlText(bytesAsText(s.broker->broker)) +
           (s.broker->connected ? ": connected" : ": not connected") + "</p>\n";
  }
  if (s.nowPlaying) {
    out += "<p id=\"nowplaying\">Now playing: " +
           (s.nowPlaying->onAir ? htmlText(s.nowPlaying->radioText) : std::string("nothing yet")) +
           "</p>\n";
  }

  const TrafficCounters& t = s.totals;
  out += "<p id=\"totals\">Commands queued " + std::to_string(t.queued) + " &middot; delivered " +
         std::to_string(t.delivered) + " &middot; in flight " + std::to_string(s.inFlight) +
         " &middot; waiting " + std::to_string(s.waiting) + " &middot; expired " +
         std::to_string(t.expired) + " &middot; failed " + std::to_string(t.failedSends) +
         " &middot; replaced " + std::to_string(t.replaced) + "</p>\n";

  const auto numeric = [](std::size_t c) {
    return c == kColPort || c == kColQueue || c == kColErrors;
  };
  std::array<std::string, StatusTable::kColumns> labels;
  out += "<table id=\"encoders\">\n<thead><tr>";
  for (std::size_t c = 0; c < labels.size(); ++c) {
    labels[c] = htmlText(bytesAsText(s.header[c]));
    out += std::string(numeric(c) ? "<th class=\"num\">" : "<th>") + labels[c] + "</th>";
  }
  out += "</tr></thead>\n<tbody>\n";
  for (const EncoderState& e : s.encoders) {
    out += "<tr class=\"encoder";
    if (e.suspended) out += " suspended";
    if (!e.enabled) out += " off";
    out += "\">";
    for (std::size_t c = 0; c < e.cells.size(); ++c) {
      out += "<td";
      if (numeric(c)) out += " class=\"num\"";
      if (c == kColEnabled) out += " class=\"state\"";
      out += " data-label=\"" + labels[c] + "\">" + htmlText(bytesAsText(e.cells[c])) + "</td>";
    }
    out += "</tr>\n";
  }
  out += "</tbody>\n</table>\n<h2>Log</h2>\n<pre id=\"log\">";
  for (std::size_t i = 0; i < s.log.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out += htmlText(bytesAsText(s.log[i]));
  }
  out += "</pre>\n</body>\n</html>\n";
  return out;
}

std::string renderJson(const Snapshot& s, bool withLog) {
  std::string out;
  out.reserve(1024 + 128 * s.log.size() + 256 * s.encoders.size());
  out += "{\"title\":" + jsonString(fileNameAsText(s.title));
  out += ",\"listeningPort\":" +
         (s.listeningPort ? std::to_string(*s.listeningPort) : std::string("null"));
  out += ",\"produced\":" + jsonString(s.produced);
  if (const auto& np = s.nowPlaying) {
    // The fields were made valid UTF-8 when the update was applied.
    out += ",\"nowPlaying\":{\"artist\":" + jsonString(np->artist) +
           ",\"title\":" + jsonString(np->title) + ",\"album\":" + jsonString(np->album) +
           ",\"source\":" + (np->onAir ? jsonString(np->source) : std::string("null")) +
           ",\"radioText\":" + jsonString(np->radioText) + ",\"updates\":{";
    for (std::size_t i = 0; i < nowplaying::kSourceCount; ++i) {
      out += (i > 0 ? ",\"" : "\"") +
             std::string(nowplaying::sourceName(static_cast<nowplaying::Source>(i))) +
             "\":" + number(np->updates[i]);
    }
    out += "},\"skipped\":" + number(np->skipped) + ",\"overrides\":[";
    for (std::size_t i = 0; i < np->overrides.size(); ++i) {
      const NowPlayingState::ActiveOverride& o = np->overrides[i];
      out += (i > 0 ? ",{\"id\":" : "{\"id\":") + jsonString(o.id) +
             ",\"text\":" + jsonString(o.text) + ",\"encoders\":[";
      for (std::size_t k = 0; k < o.encoders.size(); ++k) {
        out += (k > 0 ? "," : "") + jsonString(o.encoders[k]);
      }
      out += "],\"priority\":" + std::to_string(o.priority) +
             ",\"secondsLeft\":" + std::to_string(o.secondsLeft) + "}";
    }
    out += "]}";
  }
  out += ",\"encoders\":[";
  for (std::size_t i = 0; i < s.encoders.size(); ++i) {
    const EncoderState& e = s.encoders[i];
    if (i > 0) out.push_back(',');
    out += "\n{\"number\":" + std::to_string(e.number);
    out += ",\"name\":" + jsonString(bytesAsText(e.name));
    out += ",\"host\":" + jsonString(bytesAsText(e.host));
    out += ",\"port\":" + number(e.port);
    out += ",\"queue\":" + number(e.queue);
    out += ",\"thread\":" + (e.thread > 0 ? std::to_string(e.thread) : std::string("null"));
    out += ",\"errors\":" + number(e.errors);
    out += ",\"errorsInRow\":" + number(e.errorsInRow);
    out += std::string(",\"enabled\":") + (e.enabled ? "true" : "false");
    out += std::string(",\"suspended\":") + (e.suspended ? "true" : "false");
    out += std::string(",\"connected\":") + (e.connected ? "true" : "false");
    // Only where they say something: an encoder over TCP that does not
    // confirm reads as it always has.
    if (std::string_view(e.transport) != "tcp") {
      out += std::string(",\"transport\":\"") + e.transport + "\"";
    }
    if (e.uecp) out += ",\"protocol\":\"uecp\"";
    if (e.confirms) out += ",\"confirms\":true,\"refused\":" + number(e.refused);
    out += "}";
  }
  out += "]";
  if (withLog) {
    out += ",\n\"log\":[";
    for (std::size_t i = 0; i < s.log.size(); ++i) {
      if (i > 0) out.push_back(',');
      out.push_back('\n');
      out += jsonString(bytesAsText(s.log[i]));
    }
    out += "]";
  }
  if (s.broker) {
    out += ",\n\"mqtt\":{\"broker\":" + jsonString(bytesAsText(s.broker->broker)) +
           ",\"connected\":" + (s.broker->connected ? "true" : "false") + "}";
  }
  const TrafficCounters& t = s.totals;
  out += ",\n\"totals\":{\"received\":{\"tcp\":" + number(t.receivedTcp) +
         ",\"handoff\":" + number(t.receivedHandOff) + ",\"file\":" + number(t.receivedFile) +
         (s.broker ? ",\"mqtt\":" + number(t.receivedBroker) : std::string()) +
         "},\"queued\":" + number(t.queued) + ",\"delivered\":" + number(t.delivered) +
         ",\"expired\":" + number(t.expired) + ",\"failedSends\":" + number(t.failedSends) +
         ",\"replaced\":" + number(t.replaced) + ",\"cleared\":" + number(t.cleared) +
         ",\"inFlight\":" + number(s.inFlight) + ",\"waiting\":" + number(s.waiting) +
         ",\"producerConnections\":" + number(s.producerConnections) +
         ",\"producersAccepted\":" + number(t.producersAccepted) +
         ",\"producersRefused\":" + number(t.producersRefused) + "}}\n";
  return out;
}

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

template <class Value>
void sample(std::string& out, const char* name, const std::string& labels, Value value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(number(value)).append("\n");
}

}  // namespace

std::string renderMetrics(const Snapshot& s) {
  std::string out;
  out.reserve(4096 + 512 * s.encoders.size());
  // Two encoders may share a name; the number keeps their series apart.
  std::vector<std::string> labels;
  labels.reserve(s.encoders.size());
  for (const EncoderState& e : s.encoders) {
    labels.push_back("encoder=\"" + metricLabelValue(bytesAsText(e.name)) + "\",number=\"" +
                     std::to_string(e.number) + "\"");
  }
  struct PerEncoder {
    const char* name;
    const char* help;
    std::int64_t (*value)(const EncoderState&);
  };
  static const PerEncoder perEncoder[] = {
      {"varnok_encoder_queue_length", "Commands waiting in the encoder's queue.",
       [](const EncoderState& e) { return e.queue; }},
      {"varnok_encoder_errors", "Failed connection attempts since start (the Errors column).",
       [](const EncoderState& e) { return e.errors; }},
      {"varnok_encoder_errors_in_row",
       "Failed connection attempts since a command last went out or the encoder resumed.",
       [](const EncoderState& e) { return e.errorsInRow; }},
      {"varnok_encoder_enabled", "1 when the configuration switches the encoder on.",
       [](const EncoderState& e) -> std::int64_t { return e.enabled ? 1 : 0; }},
      {"varnok_encoder_suspended", "1 while the encoder is suspended after failures in a row.",
       [](const EncoderState& e) -> std::int64_t { return e.suspended ? 1 : 0; }},
      {"varnok_encoder_connected", "1 while a sender slot is connected to the encoder.",
       [](const EncoderState& e) -> std::int64_t { return e.connected ? 1 : 0; }},
      {"varnok_encoder_confirms",
       "1 when each command waits for the encoder's reply (ReplyOk or Confirm=uecp).",
       [](const EncoderState& e) -> std::int64_t { return e.confirms ? 1 : 0; }},
      {"varnok_encoder_commands_refused",
       "Commands the encoder refused or left unanswered since start.",
       [](const EncoderState& e) { return e.refused; }},
  };
  for (const PerEncoder& metric : perEncoder) {
    family(out, metric.name, "gauge", metric.help);
    for (std::size_t i = 0; i < s.encoders.size(); ++i) {
      sample(out, metric.name, labels[i], metric.value(s.encoders[i]));
    }
  }

  const TrafficCounters& t = s.totals;
  family(out, "varnok_commands_received_total", "counter",
         "Commands taken in since start, by input: producer chunks acknowledged (tcp), texts "
         "from a second copy (handoff), commands read from command files (file).");
  sample(out, "varnok_commands_received_total", "input=\"tcp\"", t.receivedTcp);
  sample(out, "varnok_commands_received_total", "input=\"handoff\"", t.receivedHandOff);
  sample(out, "varnok_commands_received_total", "input=\"file\"", t.receivedFile);
  if (s.broker) sample(out, "varnok_commands_received_total", "input=\"mqtt\"", t.receivedBroker);
  struct Total {
    const char* name;
    const char* help;
    std::uint64_t value;
  };
  const Total totals[] = {
      {"varnok_commands_queued_total",
       "Queue entries made since start (each repeat and each encoder counted).", t.queued},
      {"varnok_commands_delivered_total",
       "Queue entries whose every byte the encoder's side acknowledged (TCP) since start.",
       t.delivered},
      {"varnok_commands_expired_total",
       "Queue entries dropped since start for waiting longer than MaxMinutesInQueue (or past a "
       "deadline of their own).",
       t.expired},
      {"varnok_commands_failed_total",
       "Queue entries taken for sending whose connection ended before the encoder's side "
       "acknowledged them whole.",
       t.failedSends},
      {"varnok_commands_replaced_total",
       "Now-playing queue entries taken out of their queue, still waiting, for a newer "
       "now-playing text.",
       t.replaced},
      {"varnok_commands_cleared_total", "Queue entries an operator cleared while they waited.",
       t.cleared},
  };
  for (const Total& total : totals) {
    family(out, total.name, "counter", total.help);
    sample(out, total.name, "", total.value);
  }
  family(out, "varnok_operator_actions_total", "counter",
         "The operator's actions carried out since start (varnokctl, the console), by action.");
  for (std::size_t i = 0; i < kControlActions; ++i) {
    sample(out, "varnok_operator_actions_total",
           "action=\"" + std::string(actionName(static_cast<ControlAction>(i))) + "\"",
           s.actions[i]);
  }
  family(out, "varnok_commands_in_flight", "gauge",
         "Queue entries handed to an encoder's connection and not yet acknowledged whole: "
         "queued = delivered + expired + failed + replaced + cleared + in flight + waiting.");
  sample(out, "varnok_commands_in_flight", "", s.inFlight);
  family(out, "varnok_commands_waiting", "gauge", "Queue entries waiting in the queues now.");
  sample(out, "varnok_commands_waiting", "", s.waiting);
  family(out, "varnok_producer_connections", "gauge", "Producer connections open now.");
  sample(out, "varnok_producer_connections", "", s.producerConnections);
  family(out, "varnok_producers_accepted_total", "counter",
         "Producer connections let through by the access lists (counted at their first chunk).");
  sample(out, "varnok_producers_accepted_total", "", t.producersAccepted);
  family(out, "varnok_producers_refused_total", "counter",
         "Producer connections refused by the access lists (counted at their first chunk).");
  sample(out, "varnok_producers_refused_total", "", t.producersRefused);
  if (s.broker) {
    family(out, "varnok_mqtt_connected", "gauge", "1 while the site is connected to its broker.");
    sample(out, "varnok_mqtt_connected", "", std::int64_t{s.broker->connected ? 1 : 0});
  }
  if (s.nowPlaying) {
    family(out, "varnok_nowplaying_updates_total", "counter",
           "Now-playing updates applied since start (identical ones ignored), by source.");
    for (std::size_t i = 0; i < nowplaying::kSourceCount; ++i) {
      const std::string name(nowplaying::sourceName(static_cast<nowplaying::Source>(i)));
      sample(out, "varnok_nowplaying_updates_total", "source=\"" + name + "\"",
             s.nowPlaying->updates[i]);
    }
    family(out, "varnok_nowplaying_skipped_total", "counter",
           "Now-playing items left off the air by Skip, Only or SkipShorterThan since start.");
    sample(out, "varnok_nowplaying_skipped_total", "", s.nowPlaying->skipped);
  }
  return out;
}

NowPlayingAnswer renderNowPlayingAnswer(const nowplaying::NowPlaying::Posted& posted,
                                        const std::vector<Encoder>& encoders) {
  using nlohmann::json;
  const auto dump = [](const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  };
  if (!posted.answer.empty()) return {200, posted.answer};
  if (!posted.error.empty()) {
    return {posted.unprocessable ? 422u : 400u, dump(json{{"error", posted.error}})};
  }
  const nowplaying::NowPlaying::Outcome& outcome = posted.outcome;
  json queued = json::array();
  for (const nowplaying::NowPlaying::Outcome::Queued& q : outcome.queued) {
    const Encoder& e = encoders[static_cast<std::size_t>(q.encoder)];
    queued.push_back({{"encoder", q.encoder + 1}, {"name", e.name}, {"commands", q.commands}});
  }
  json answer{{"ignored", outcome.ignored}, {"queued", queued}};
  if (!outcome.skipped.empty()) answer["skipped"] = outcome.skipped;
  if (!outcome.ignored) answer["radioText"] = outcome.radioText;
  return {200, dump(answer)};
}

std::string renderSiteStatus(const Snapshot& s) {
  // One line: the JSON's line breaks are only between items.
  std::string json = renderJson(s, false);
  std::erase(json, '\n');
  return "{\"online\":true," + json.substr(1);
}

}  // namespace varnok::status
