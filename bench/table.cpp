// The benchmark table: runs the real program (Release build, headless, in
// program folders of its own) as child processes against producers and
// encoder stand-ins in this process, measures every figure side by side with
// its yardstick in the same run, and prints one Markdown table.
//
//   varnok_bench_table [--seconds N] [--only GROUP]...
//
// --seconds: length of the window in which the sustained-delivery, command
// latency and idle CPU rows are measured together (default 30).
// --only: measure only these groups of rows (queue, encode, ack, parallel,
// encoders, nowplaying, nowplaying-doors, mqtt, memory, backlog, banlist,
// producers, console); all of them without it.
// --seconds also bounds the now-playing rounds and the MQTT latency rounds,
// and is the length of the window of the encoder rows (confirmed delivery,
// UDP beside TCP, the round trip beside an encoder that takes UECP), and
// of each of the two windows of the now-playing doors (an item over UDP
// beside a producer, then the round trip while items are skipped), and of
// each of the console's three windows (two copies quiet, then one with 200
// viewers of the event stream, then one flooded with sign-ins).
//
// Only loopback addresses are used, and every wait is bounded.
#include <mosquitto.h>
#include <pwd.h>
#include <sched.h>
#include <sys/epoll.h>

#include <array>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "bench_support.h"
#include "encoder/uecp.h"
#include "encoder_sink.h"

namespace varnok::bench {
namespace {

const std::string kProgram = VARNOK_BENCH_PROGRAM;
const std::string kQueueBench = VARNOK_BENCH_QUEUE;
const std::string kAckServer = VARNOK_BENCH_ACK_SERVER;
const std::string kIdleLoop = VARNOK_BENCH_IDLE_LOOP;
constexpr bool kHaveDesktop = VARNOK_BENCH_DESKTOP != 0;

// ---- Output -----------------------------------------------------------------

struct Row {
  std::string what;
  std::string measured;
  std::string baseline;
  std::string ratio;
  std::string target;
  std::string verdict;
};

std::vector<Row> rows;
std::vector<std::string> notes;

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("bench: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// "met", or how far off a ratio is from its limit. An upper limit is missed
// when the ratio is above it, a lower one when below.
std::string verdict(double ratio, double limit, bool upper) {
  const bool met = upper ? ratio <= limit : ratio >= limit;
  if (met) return "met";
  const double off = upper ? (ratio / limit - 1) * 100 : (1 - ratio / limit) * 100;
  return fmt("**missed** by %.1f %%", off);
}

// ---- The real program -------------------------------------------------------

struct Encoder {
  std::string name;
  std::uint16_t port;
};

std::string ini(int threads, std::uint16_t listenPort, const std::vector<Encoder>& encoders,
                const std::string& moreGeneral = "", const std::string& moreInputs = "") {
  std::string s = "[General]\nEncoderCount=" + std::to_string(encoders.size()) +
                  "\nThreads=" + std::to_string(threads) + "\n" + moreGeneral +
                  "[Inputs]\nListenOnPort=" + std::to_string(listenPort) + "\nSocket=1\n" +
                  moreInputs;
  for (std::size_t i = 0; i < encoders.size(); ++i) {
    s += "[Encoder" + std::to_string(i + 1) + "]\nName=" + encoders[i].name +
         "\nHost=127.0.0.1\nPort=" + std::to_string(encoders[i].port) + "\nEnabled=1\n";
  }
  return s;
}

// A headless copy of the program, started in its own folder; its listening
// port once it has said so.
struct Running {
  // files: more files of the program folder (name, content), written before
  // the program starts.
  Running(const std::string& name, const std::string& configuration, rlim_t maxDescriptors = 0,
          const std::map<std::string, std::string>& files = {})
      : folder(kProgram, name, configuration) {
    // Readable by the user alone, as a token file has to be.
    for (const auto& [file, content] : files) {
      std::ofstream(folder.folder() + file, std::ios::binary) << content;
      chmod((folder.folder() + file).c_str(), 0600);
    }
    ChildOptions options = folder.options();
    options.maxDescriptors = maxDescriptors;
    child = std::make_unique<Child>(options);
    const auto p = listeningPort(*child, 15000);
    if (!p) throw std::runtime_error(name + ": no listening port; output:\n" + child->output());
    port = *p;
  }
  ProgramFolder folder;
  std::unique_ptr<Child> child;
  std::uint16_t port = 0;
};

// The encoder's queue length in the table dump that SIGUSR1 asks for.
std::optional<long> queueLength(Child& varnok, const std::string& encoder) {
  const std::size_t from = varnok.outputLength();
  varnok.signal(SIGUSR1);
  const auto end = SteadyClock::now() + std::chrono::seconds(10);
  while (SteadyClock::now() < end) {
    const std::string out = varnok.outputFrom(from);
    const std::size_t header = out.find("RDS Encoder Name\t");
    const std::size_t row =
        out.find("\n" + encoder + "\t", header == std::string::npos ? 0 : header);
    if (header != std::string::npos && row != std::string::npos &&
        out.find('\n', row + 1) != std::string::npos) {
      std::istringstream line(out.substr(row + 1, out.find('\n', row + 1) - row - 1));
      std::string cell;
      for (int c = 0; c <= 3 && std::getline(line, cell, '\t'); ++c) {
      }
      return std::stol(cell);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// ---- Queue operations (Google Benchmark) ------------------------------------

// What one run of varnok_bench gave: per benchmark (the name without its
// "_median"), the median over the repetitions.
struct GoogleBenchRun {
  std::map<std::string, double> nsPerItem;  // CPU time per item
  std::map<std::string, double> bytes;      // the "bytes" counter, where set
  bool ok = false;
  std::string output;
};

// Runs the benchmarks the filter selects, five repetitions in random order,
// so that a noisy moment of the machine does not fall on one of them alone.
GoogleBenchRun runGoogleBench(const std::string& filter) {
  TempFolder tmp;
  const std::string json = tmp.path() + "bench.json";
  ChildOptions options;
  options.program = kQueueBench;
  options.args = {"--benchmark_filter=" + filter,
                  "--benchmark_out=" + json,
                  "--benchmark_out_format=json",
                  "--benchmark_min_time=0.1",
                  "--benchmark_repetitions=5",
                  "--benchmark_enable_random_interleaving=true",
                  "--benchmark_report_aggregates_only=true"};
  Child run(options);
  const auto status = run.wait(300000);
  std::ifstream in(json);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  GoogleBenchRun result;
  const std::string nameKey = "\"name\": \"";
  const std::string median = "_median";
  // A number that follows key within the record [from, to), if there is one.
  const auto field = [&](const std::string& key, std::size_t from,
                         std::size_t to) -> std::optional<double> {
    const std::size_t at = text.find("\"" + key + "\": ", from);
    if (at == std::string::npos || at >= to) return std::nullopt;
    return std::stod(text.substr(at + key.size() + 4));
  };
  for (std::size_t at = text.find(nameKey); at != std::string::npos;) {
    const std::size_t nameEnd = text.find('"', at + nameKey.size());
    std::string name = text.substr(at + nameKey.size(), nameEnd - at - nameKey.size());
    const std::size_t next = text.find(nameKey, nameEnd);
    const std::size_t end = next == std::string::npos ? text.size() : next;
    const auto items = field("items_per_second", nameEnd, end);
    if (items && name.size() > median.size() &&
        name.compare(name.size() - median.size(), median.size(), median) == 0) {
      name.resize(name.size() - median.size());
      result.nsPerItem[name] = 1e9 / *items;
      if (const auto bytes = field("bytes", nameEnd, end)) result.bytes[name] = *bytes;
    }
    at = next;
  }
  result.ok = status && *status == 0 && !result.nsPerItem.empty();
  result.output = run.output();
  return result;
}

void queueRows() {
  progress("queue operations at 10^3 .. 10^6 entries (Google Benchmark)");
  const GoogleBenchRun run =
      runGoogleBench("^BM_(QueueCommand|TakeNext|LongestWaiting|ExpiryTick)");
  const std::map<std::string, double>& perItem = run.nsPerItem;
  if (!run.ok) {
    rows.push_back({"Queue operations", "not measured: varnok_bench failed", "", "", "", ""});
    notes.push_back("varnok_bench output:\n```\n" + run.output + "\n```");
    return;
  }
  struct Op {
    const char* bench;
    const char* what;
    const char* unit;
  };
  const Op ops[] = {
      {"BM_QueueCommand", "Enqueue (`queueCommand`) onto a queue of n", "per entry put in"},
      {"BM_TakeNext", "Take next (`takeNext`) from a queue of n", "per entry taken"},
      {"BM_LongestWaiting", "Longest waiting (`longestWaiting`) with n queued (4 encoders)",
       "per call"},
      {"BM_ExpiryTickExpiring", "Expiry tick: n queued, 1000 expire", "per expired entry"},
      {"BM_ExpiryTickNothingExpired", "Expiry tick: n queued, none expire", "per pass"},
  };
  const char* sizes[] = {"1000", "10000", "100000", "1000000"};
  const char* labels[] = {"10^3", "10^4", "10^5", "10^6"};
  for (const Op& op : ops) {
    const auto base = perItem.find(std::string(op.bench) + "/1000");
    if (base == perItem.end()) continue;
    std::string measured, ratios;
    double worst = 0;
    for (int i = 0; i < 4; ++i) {
      const auto found = perItem.find(std::string(op.bench) + "/" + sizes[i]);
      if (found == perItem.end()) continue;
      measured += fmt("%s%s: %.0f ns", i ? ", " : "", labels[i], found->second);
      if (i == 0) continue;
      const double r = found->second / base->second;
      worst = std::max(worst, r);
      ratios += fmt("%s%s: %.2fx", i > 1 ? ", " : "", labels[i], r);
    }
    rows.push_back({fmt("%s (%s)", op.what, op.unit), measured, fmt("10^3: %.0f ns", base->second),
                    ratios, "constant: <= 1.5x at every n", verdict(worst, 1.5, true)});
  }
}

// ---- What a command costs to encode (Google Benchmark) ----------------------

// Per command: the frames for an encoder that takes UECP (an element per
// line, the texts converted to the RDS set, each element framed) beside the
// bytes as they are for an ASCII encoder. The target lies with the
// acknowledgement round trip of the encoder rows, which measure a copy whose
// encoder takes UECP beside one that takes ASCII.
void encodeRows() {
  progress("encoding a command: UECP frames beside ASCII (Google Benchmark)");
  const GoogleBenchRun run = runGoogleBench("^BM_Encode");
  if (!run.ok) {
    rows.push_back(
        {"UECP encoding per command", "not measured: varnok_bench failed", "", "", "", ""});
    notes.push_back("varnok_bench output:\n```\n" + run.output + "\n```");
    return;
  }
  struct Command {
    const char* arg;
    const char* what;
    std::size_t lines;
  };
  const Command commands[] = {
      {"0", "now playing, `RT=Artist - Title of the song\\rRTP=4,0,5,1,9,19\\r`", 2},
      {"1", "station name, `PS=RADIO 1\\r`", 1},
  };
  const auto valueOf = [](const std::map<std::string, double>& values, const std::string& name) {
    const auto found = values.find(name);
    return found == values.end() ? 0.0 : found->second;
  };
  const auto ns = [&](const std::string& name) { return valueOf(run.nsPerItem, name); };
  for (const Command& c : commands) {
    const std::string arg = std::string("/") + c.arg;
    const double uecp = ns("BM_EncodeUecp" + arg);
    const double rdsText = ns("BM_EncodeUecpRdsText" + arg);
    const double ascii = ns("BM_EncodeAscii" + arg);
    if (uecp <= 0 || ascii <= 0) continue;
    rows.push_back(
        {fmt("UECP encoding of one command (an element per line with the RDS text converter, "
             "each framed), %s",
             c.what),
         fmt("%.0f ns per command (%.0f bytes in %zu frame%s); %.0f ns with the text already in "
             "the RDS set",
             uecp, valueOf(run.bytes, "BM_EncodeUecp" + arg), c.lines, c.lines == 1 ? "" : "s",
             rdsText),
         fmt("ASCII, the %.0f bytes as they are (copied into an output buffer): %.1f ns",
             valueOf(run.bytes, "BM_EncodeAscii" + arg), ascii),
         fmt("+%.2f us per command (%.0fx)", (uecp - ascii) / 1000, uecp / ascii),
         "none here: the acknowledgement round trip with a UECP encoder (encoder rows) carries it",
         "measured"});
  }
}

// ---- Acknowledgement round trip ---------------------------------------------

struct RoundTrips {
  std::vector<double> us;
  int failures = 0;
};

void measureRoundTrips(const std::vector<Fd>& conns, int count, RoundTrips& out) {
  static const std::string command = "RT\r";  // 3 bytes
  for (int i = 0; i < count; ++i) {
    const int fd = conns[static_cast<std::size_t>(i) % conns.size()].get();
    const TimePoint t0 = SteadyClock::now();
    if (produce(fd, command, 2000)) {
      out.us.push_back(usBetween(t0, SteadyClock::now()));
    } else {
      ++out.failures;
    }
  }
}

std::vector<Fd> openProducers(std::uint16_t port, int n, int& failures) {
  std::vector<Fd> conns;
  for (int i = 0; i < n; ++i) {
    Fd fd = connectLoopback(port, 2000);
    // The first command of a connection also waits for its acceptance.
    if (!fd.valid() || !produce(fd.get(), "RT\r", 2000)) {
      ++failures;
      continue;
    }
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conns.push_back(std::move(fd));
  }
  return conns;
}

void ackRows() {
  EncoderSink sink({});
  Running varnok("AckRoundTrip", ini(2, 0, {{"Studio", sink.port()}}));
  ChildOptions options;
  options.program = kAckServer;
  options.stdinPipe = true;
  Child baseline(options);
  if (!baseline.waitFor("\n", 5000)) throw std::runtime_error("ack server did not start");
  const auto baselinePort = static_cast<std::uint16_t>(std::stoul(baseline.output()));

  constexpr int kRounds = 10;
  constexpr int kPerRound = 2000;
  for (const int producers : {1, 100, 1000}) {
    progress("acknowledgement round trip, %d producer(s) connected", producers);
    int failures = 0;
    const std::vector<Fd> ours = openProducers(varnok.port, producers, failures);
    const std::vector<Fd> theirs = openProducers(baselinePort, producers, failures);
    if (ours.empty() || theirs.empty()) {
      rows.push_back({fmt("Acknowledgement round trip, %d producers", producers),
                      "not measured: no connection", "", "", "", ""});
      continue;
    }
    RoundTrips v, b;
    // Interleaved rounds, each server first in turn, so that the machine's
    // moods fall on both alike.
    for (int round = 0; round < kRounds; ++round) {
      if (round % 2 == 0) {
        measureRoundTrips(ours, kPerRound, v);
        measureRoundTrips(theirs, kPerRound, b);
      } else {
        measureRoundTrips(theirs, kPerRound, b);
        measureRoundTrips(ours, kPerRound, v);
      }
    }
    std::sort(v.us.begin(), v.us.end());
    std::sort(b.us.begin(), b.us.end());
    const double v50 = percentile(v.us, 50), v99 = percentile(v.us, 99);
    const double b50 = percentile(b.us, 50), b99 = percentile(b.us, 99);
    const double r50 = v50 / b50, r99 = v99 / b99;
    std::string verdictText = "met";
    if (r50 > 1.5 || r99 > 2.0) {
      verdictText.clear();
      if (r50 > 1.5) verdictText += "p50 " + verdict(r50, 1.5, true);
      if (r99 > 2.0)
        verdictText +=
            std::string(verdictText.empty() ? "" : "; ") + "p99 " + verdict(r99, 2.0, true);
    }
    if (failures + v.failures + b.failures > 0) {
      verdictText += fmt(" (%d exchanges failed)", failures + v.failures + b.failures);
    }
    rows.push_back({fmt("Acknowledgement round trip, %d producer%s connected", producers,
                        producers == 1 ? "" : "s"),
                    fmt("p50 %.1f us, p99 %.1f us (n=%zu)", v50, v99, v.us.size()),
                    fmt("epoll server: p50 %.1f us, p99 %.1f us (n=%zu)", b50, b99, b.us.size()),
                    fmt("p50 %.2fx, p99 %.2fx", r50, r99), "p50 <= 1.5x, p99 <= 2x", verdictText});
  }
}

// ---- Latency, sustained delivery and idle CPU, measured together ------------

int tickMs(int threads) {
  return 90 / threads;
}

// Command latency with an idle dispatcher: the encoder takes one command per
// connection and closes it, so every command needs a bind and connect tick
// and a send tick. Commands are written at random moments within the tick.
class LatencyProbe {
 public:
  explicit LatencyProbe(int threads) : threads_(threads) {
    sink_ = std::make_unique<EncoderSink>(
        [this](TimePoint when, std::size_t) {
          std::lock_guard lock(mutex_);
          ++receipts_;
          lastReceipt_ = when;
          arrived_.notify_all();
        },
        true,
        [this](TimePoint when) {
          std::lock_guard lock(mutex_);
          ++accepts_;
          lastAccept_ = when;
        });
    varnok_ = std::make_unique<Running>("Latency" + std::to_string(threads),
                                        ini(threads, 0, {{"Studio", sink_->port()}}));
    producer_ = connectLoopback(varnok_->port, 2000);
  }
  void start(TimePoint end) {
    worker_ = std::thread([this, end] { run(end); });
  }
  void join() {
    worker_.join();
    std::sort(samples_.begin(), samples_.end());
    std::sort(toConnect_.begin(), toConnect_.end());
    std::sort(toArrive_.begin(), toArrive_.end());
  }
  int threads() const { return threads_; }
  // Sorted once the probe has ended: write to arrival, write to the
  // encoder's accepting the connection (the first tick), and from there to
  // the arrival (the second tick).
  const std::vector<double>& samples() const { return samples_; }
  const std::vector<double>& toConnect() const { return toConnect_; }
  const std::vector<double>& toArrive() const { return toArrive_; }
  int lost() const { return lost_; }

 private:
  void run(TimePoint end) {
    const int tick = tickMs(threads_);
    std::mt19937 random(static_cast<unsigned>(threads_));
    // A pause of 3 ms lets the dispatcher see the close of the last
    // connection; the rest spreads the writes over the tick.
    std::uniform_int_distribution<int> pauseUs(3000, 3000 + tick * 1000);
    const auto longest = std::chrono::milliseconds(2 * tick + 500);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
      if (SteadyClock::now() + longest > end) break;
      std::unique_lock lock(mutex_);
      const std::uint64_t before = receipts_;
      const std::uint64_t acceptsBefore = accepts_;
      lock.unlock();
      const TimePoint t0 = SteadyClock::now();
      if (!produce(producer_.get(), "RT=Latency\r\n", 2000)) {
        ++lost_;
        break;
      }
      lock.lock();
      if (!arrived_.wait_for(lock, std::chrono::seconds(2), [&] { return receipts_ > before; })) {
        ++lost_;
        continue;
      }
      samples_.push_back(msBetween(t0, lastReceipt_));
      if (accepts_ == acceptsBefore + 1) {
        toConnect_.push_back(msBetween(t0, lastAccept_));
        toArrive_.push_back(msBetween(lastAccept_, lastReceipt_));
      }
    }
  }

  int threads_;
  std::unique_ptr<EncoderSink> sink_;
  std::unique_ptr<Running> varnok_;
  Fd producer_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::uint64_t receipts_ = 0;
  std::uint64_t accepts_ = 0;
  TimePoint lastReceipt_;
  TimePoint lastAccept_;
  std::vector<double> samples_;
  std::vector<double> toConnect_;
  std::vector<double> toArrive_;
  int lost_ = 0;
};

// Sustained delivery from a deep queue to one encoder that keeps its
// connection: one send per tick at best.
class SustainedProbe {
 public:
  static constexpr std::size_t kCommandSize = 15;  // "RT=0000000001\r\n"

  explicit SustainedProbe(int threads) : threads_(threads) {
    sink_ = std::make_unique<EncoderSink>([this](TimePoint when, std::size_t bytes) {
      std::lock_guard lock(mutex_);
      total_ += bytes;
      chunks_.emplace_back(when, total_);
    });
    varnok_ = std::make_unique<Running>("Sustained" + std::to_string(threads),
                                        ini(threads, 0, {{"Studio", sink_->port()}}));
  }
  // Queues count commands over one producer connection.
  int prefill(int count) {
    Fd producer = connectLoopback(varnok_->port, 2000);
    int acked = 0;
    for (int i = 0; i < count && producer.valid(); ++i) {
      if (produce(producer.get(), fmt("RT=%010d\r\n", i), 2000)) ++acked;
    }
    return acked;
  }
  struct Rate {
    std::uint64_t commands = 0;  // whole commands that arrived in the window
    double perSecond = 0;        // from the first arrival in the window to the last
  };
  // Deliveries in (from, to]. The rate counts the intervals between the
  // first and the last arrival in the window, so that where the window's
  // edges fall within a tick does not matter.
  Rate delivered(TimePoint from, TimePoint to) const {
    std::lock_guard lock(mutex_);
    std::uint64_t before = 0, first = 0, last = 0;
    TimePoint firstAt{}, lastAt{};
    bool any = false;
    for (const auto& [when, total] : chunks_) {
      if (when <= from) before = total;
      if (when <= from || when > to) continue;
      if (!any) {
        first = total;
        firstAt = when;
        any = true;
      }
      last = total;
      lastAt = when;
    }
    Rate r;
    if (!any) return r;
    r.commands = last / kCommandSize - before / kCommandSize;
    const double seconds = std::chrono::duration<double>(lastAt - firstAt).count();
    if (seconds > 0) {
      r.perSecond = static_cast<double>(last / kCommandSize - first / kCommandSize) / seconds;
    }
    return r;
  }
  std::uint64_t deliveredAll() const {
    std::lock_guard lock(mutex_);
    return total_ / kCommandSize;
  }
  int threads() const { return threads_; }

 private:
  int threads_;
  std::unique_ptr<EncoderSink> sink_;
  std::unique_ptr<Running> varnok_;
  mutable std::mutex mutex_;
  std::uint64_t total_ = 0;
  std::vector<std::pair<TimePoint, std::uint64_t>> chunks_;
};

// A virtual X server of its own choosing of display number; empty display
// when there is none.
struct VirtualDisplay {
  VirtualDisplay() {
    const std::string xvfb = findProgram("Xvfb");
    if (xvfb.empty()) return;
    ChildOptions options;
    options.program = xvfb;
    options.args = {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
    server = std::make_unique<Child>(options);
    const auto end = SteadyClock::now() + std::chrono::seconds(15);
    while (SteadyClock::now() < end && display.empty()) {
      std::istringstream lines(server->output());
      std::string line;
      while (std::getline(lines, line)) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
          display = ":" + line;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::unique_ptr<Child> server;
  std::string display;
};

void parallelRows(int seconds) {
  progress("starting the copies for the %d s window: latency, sustained delivery, idle CPU",
           seconds);
  std::vector<std::unique_ptr<LatencyProbe>> latency;
  std::vector<std::unique_ptr<SustainedProbe>> sustained;
  for (int threads = 1; threads <= 4; ++threads) {
    latency.push_back(std::make_unique<LatencyProbe>(threads));
    sustained.push_back(std::make_unique<SustainedProbe>(threads));
  }
  // Deep enough that no queue runs dry within the window.
  const int depth = 1000 * (seconds + 10) / tickMs(4);
  for (auto& s : sustained) {
    const int acked = s->prefill(depth);
    if (acked != depth)
      notes.push_back(
          fmt("Sustained, Threads %d: only %d of %d commands queued", s->threads(), acked, depth));
  }

  // Idle: nothing queued, Threads 4, headless and with the window.
  EncoderSink idleSink({});
  Running idleHeadless("IdleHeadless", ini(4, 0, {{"Studio", idleSink.port()}}));
  ChildOptions loopOptions;
  loopOptions.program = kIdleLoop;
  loopOptions.stdinPipe = true;
  Child idleBaseline(loopOptions);

  std::unique_ptr<VirtualDisplay> display;
  std::unique_ptr<ProgramFolder> windowFolder;
  std::unique_ptr<Child> idleWindow;
  std::string windowMissing;
  if (!kHaveDesktop) {
    windowMissing = "this build has no desktop front end (Qt 6 not found)";
  } else {
    display = std::make_unique<VirtualDisplay>();
    if (display->display.empty()) {
      windowMissing = "no Xvfb to run the window under";
    } else {
      const std::uint16_t port = freePort();
      windowFolder = std::make_unique<ProgramFolder>(kProgram, "IdleWindow",
                                                     ini(4, port, {{"Studio", idleSink.port()}}));
      idleWindow = std::make_unique<Child>(windowFolder->options(display->display));
      // The window's copy is up once it listens: start-up has run in Qt's loop.
      const auto end = SteadyClock::now() + std::chrono::seconds(20);
      bool up = false;
      while (!up && SteadyClock::now() < end) {
        up = connectLoopback(port, 500).valid();
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (!up) {
        windowMissing = "the window's copy did not start under Xvfb: " + idleWindow->output();
        idleWindow.reset();
      }
    }
  }
  // Start-up work (Qt's fonts, the first paint) stays out of the window.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  progress("measuring for %d s", seconds);
  const TimePoint t0 = SteadyClock::now();
  const TimePoint t1 = t0 + std::chrono::seconds(seconds);
  const ThreadCpu cpuBase0 = threadCpu(idleBaseline.pid());
  const ThreadCpu cpuHeadless0 = threadCpu(idleHeadless.child->pid());
  const ThreadCpu cpuWindow0 = idleWindow ? threadCpu(idleWindow->pid()) : ThreadCpu{};
  const ThreadCpu cpuX0 = idleWindow ? threadCpu(display->server->pid()) : ThreadCpu{};
  for (auto& l : latency) l->start(t1);
  // The machine's own share of any lateness: how late a plain 22 ms sleep
  // of this process wakes up meanwhile.
  std::vector<double> lateness;
  for (TimePoint next = t0 + std::chrono::milliseconds(22); next <= t1;
       next += std::chrono::milliseconds(22)) {
    std::this_thread::sleep_until(next);
    lateness.push_back(msBetween(next, SteadyClock::now()));
  }
  std::this_thread::sleep_until(t1);
  std::sort(lateness.begin(), lateness.end());
  const std::uint64_t cpuBase = cpuNanosecondsSince(idleBaseline.pid(), cpuBase0);
  const std::uint64_t cpuHeadless = cpuNanosecondsSince(idleHeadless.child->pid(), cpuHeadless0);
  const std::uint64_t cpuWindow =
      idleWindow ? cpuNanosecondsSince(idleWindow->pid(), cpuWindow0) : 0;
  const std::uint64_t cpuX = idleWindow ? cpuNanosecondsSince(display->server->pid(), cpuX0) : 0;
  const int windowThreads = idleWindow ? threadCount(idleWindow->pid()) : 0;
  for (auto& l : latency) l->join();
  const double window = std::chrono::duration<double>(t1 - t0).count();

  for (auto& l : latency) {
    const int tick = tickMs(l->threads());
    const double bound = 2.0 * tick;
    const double p50 = percentile(l->samples(), 50), p99 = percentile(l->samples(), 99);
    std::string v = verdict(p99 / bound, 1.05, true);
    if (l->lost() > 0) v += fmt(" (%d commands not delivered within 2 s)", l->lost());
    notes.push_back(
        fmt("Command latency, Threads %d, in two parts: write to the encoder's accepting the "
            "connection (the connect tick, at most one tick of %d ms expected) p50 %.1f, p99 %.1f, "
            "max %.1f ms; from there to the arrival (the send tick, one tick expected) p50 %.1f, "
            "p99 %.1f, max %.1f ms (n=%zu).",
            l->threads(), tick, percentile(l->toConnect(), 50), percentile(l->toConnect(), 99),
            percentile(l->toConnect(), 100), percentile(l->toArrive(), 50),
            percentile(l->toArrive(), 99), percentile(l->toArrive(), 100), l->toArrive().size()));
    rows.push_back({fmt("Command latency, idle dispatcher, one encoder, Threads %d", l->threads()),
                    fmt("p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)", p50, p99,
                        percentile(l->samples(), 100), l->samples().size()),
                    fmt("2 ticks: %.0f ms (2 x %d ms)", bound, tick), fmt("p99 %.3fx", p99 / bound),
                    "p99 <= 1.05x", v});
  }
  for (auto& s : sustained) {
    const double cap = 1000.0 / tickMs(s->threads());
    const SustainedProbe::Rate got = s->delivered(t0, t1);
    const double rate = got.perSecond;
    std::string v = verdict(rate / cap, 0.98, false);
    if (s->deliveredAll() >= static_cast<std::uint64_t>(depth)) v += " (queue ran dry)";
    rows.push_back({fmt("Sustained delivery, deep queue, Threads %d", s->threads()),
                    fmt("%.2f/s (%" PRIu64 " in %.1f s)", rate, got.commands, window),
                    fmt("cap %.2f/s (1000 / %d ms)", cap, tickMs(s->threads())),
                    fmt("%.3fx", rate / cap), ">= 0.98x", v});
  }
  notes.push_back(
      fmt("During the %.0f s window a plain 22 ms sleep of the driver woke up late by "
          "p50 %.2f, p99 %.2f, max %.2f ms (n=%zu): the machine's own lateness.",
          window, percentile(lateness, 50), percentile(lateness, 99), percentile(lateness, 100),
          lateness.size()));
  const auto perSecond = [&](std::uint64_t ns) { return static_cast<double>(ns) / window / 1e3; };
  const std::string baselineText =
      fmt("22 ms epoll loop: %.1f us/s (%.2f ms in %.0f s)", perSecond(cpuBase),
          static_cast<double>(cpuBase) / 1e6, window);
  const double headlessRatio = static_cast<double>(cpuHeadless) / static_cast<double>(cpuBase);
  rows.push_back({"Idle CPU, Threads 4, nothing queued, headless",
                  fmt("%.1f us/s (%.2f ms in %.0f s)", perSecond(cpuHeadless),
                      static_cast<double>(cpuHeadless) / 1e6, window),
                  baselineText, fmt("%.2fx", headlessRatio), "<= 0.25x",
                  verdict(headlessRatio, 0.25, true)});
  if (idleWindow) {
    const double windowRatio = static_cast<double>(cpuWindow) / static_cast<double>(cpuBase);
    rows.push_back({"Idle CPU, Threads 4, nothing queued, window on Xvfb",
                    fmt("%.1f us/s (%.2f ms in %.0f s, %d threads)", perSecond(cpuWindow),
                        static_cast<double>(cpuWindow) / 1e6, window, windowThreads),
                    baselineText, fmt("%.2fx", windowRatio), "<= 1.0x",
                    verdict(windowRatio, 1.0, true)});
    notes.push_back(
        fmt("Xvfb itself used %.1f us/s of CPU while the window's copy idled "
            "(not counted in the row).",
            perSecond(cpuX)));
  } else {
    rows.push_back({"Idle CPU, Threads 4, nothing queued, window on Xvfb",
                    "not measured: " + windowMissing, baselineText, "", "<= 1.0x", ""});
  }
  progress("closing the copies of the window");
}

// ---- Now playing: an update to the bytes at the encoder ---------------------

// An encoder stand-in that keeps its connections and what it is sent: each
// command up to its CR, with the moment the read that completed it returned.
class CommandSink {
 public:
  CommandSink() {
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { run(); });
  }
  ~CommandSink() {
    stop_ = true;
    thread_.join();
  }
  CommandSink(const CommandSink&) = delete;
  CommandSink& operator=(const CommandSink&) = delete;

  std::uint16_t port() const { return port_; }

  // When command (CR included) arrived, waiting at most timeoutMs for it;
  // each arrival is handed out once.
  std::optional<TimePoint> arrival(const std::string& command, int timeoutMs) {
    std::unique_lock lock(mutex_);
    std::optional<TimePoint> when;
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      const auto found = arrivals_.find(command);
      if (found == arrivals_.end()) return false;
      when = found->second;
      arrivals_.erase(found);
      return true;
    });
    return when;
  }

 private:
  struct Connection {
    Fd fd;
    std::string pending;  // bytes not yet ended by a CR
  };
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    std::vector<Connection> conns;
    char buffer[4096];
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
      for (const Connection& c : conns) fds.push_back({c.fd.get(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < conns.size(); ++i) {
        if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = recv(conns[i].fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0) {
          if (got == 0 || (errno != EAGAIN && errno != EINTR)) conns[i].fd.reset();
          continue;
        }
        const TimePoint when = SteadyClock::now();
        std::string& pending = conns[i].pending;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::lock_guard lock(mutex_);
        for (std::size_t cr = pending.find('\r'); cr != std::string::npos;
             cr = pending.find('\r')) {
          arrivals_.emplace(pending.substr(0, cr + 1), when);
          pending.erase(0, cr + 1);
        }
        if (pending.size() > 65536) pending.clear();
        arrived_.notify_all();
      }
      conns.erase(std::remove_if(conns.begin(), conns.end(),
                                 [](const Connection& c) { return !c.fd.valid(); }),
                  conns.end());
      if (fds[0].revents & POLLIN) {
        const int c = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) conns.push_back({Fd(c), {}});
      }
    }
  }

  std::uint16_t port_ = 0;
  Fd listener_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::string, TimePoint> arrivals_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Everything a connection sent until it closed (or timeoutMs passed).
std::string readToEnd(int fd, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return out;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return out;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

// One copy with one encoder that keeps its connection and the template
// NowPlaying1=RT1=%RT%\r, so that the title T is sent as "RT1=T\r"; its
// status page takes POST /nowplaying, and it may watch np.txt as well.
// Rounds alternate between a POST with a fresh title and a producer sending
// the same bytes directly, each timed from just before the first byte leaves
// this process to the command's arrival at the encoder; every measurement
// waits for its arrival. Both ways of a round start at the same random
// moment within the tick (the pause after the last arrival, which comes
// right after a tick), so the tick's share falls on both alike and what
// remains is what each way adds.
class NowPlayingProbe {
 public:
  static constexpr char kToken[] = "bench-token-0123456789";

  NowPlayingProbe(int threads, bool withFile) : threads_(threads), withFile_(withFile) {
    httpPort_ = freePort();
    std::map<std::string, std::string> files{{"np-token", std::string(kToken) + "\n"}};
    std::string extra = "NowPlaying1=RT1=%RT%\\r\n[Status]\nHttpPort=" + std::to_string(httpPort_) +
                        "\n[NowPlaying]\nTokenFile=np-token\n";
    if (withFile) {
      extra += "File=np.txt\n";
      files["np.txt"] = "Start\n";
    }
    varnok_ =
        std::make_unique<Running>(fmt("NowPlaying%d", threads),
                                  ini(threads, 0, {{"Studio", sink_.port()}}) + extra, 0, files);
    if (!varnok_->child->waitFor(
            fmt("Status page on http://127.0.0.1:%u/", static_cast<unsigned>(httpPort_)), 10000)) {
      throw std::runtime_error(fmt("now playing, Threads %d: no status page; output:\n", threads) +
                               varnok_->child->output());
    }
    // The file's content at start-up goes out first: then its watch is up.
    if (withFile && !sink_.arrival("RT1=Start\r", 5000)) {
      throw std::runtime_error("now playing: the file's content at start-up did not arrive");
    }
    producer_ = connectLoopback(varnok_->port, 2000);
    const int one = 1;
    setsockopt(producer_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!produce(producer_.get(), "RT1=Warm\r", 2000) || !sink_.arrival("RT1=Warm\r", 2000)) {
      throw std::runtime_error("now playing: the producer's first command did not arrive");
    }
  }
  void start(TimePoint end, int rounds) {
    worker_ = std::thread([this, end, rounds] { run(end, rounds); });
  }
  void join() {
    worker_.join();
    for (auto* v : {&http_, &direct_, &file_, &answer_, &ack_}) std::sort(v->begin(), v->end());
  }
  int threads() const { return threads_; }
  bool withFile() const { return withFile_; }
  // Sorted once the probe has ended: the milliseconds to the arrival of each
  // way in, and the microseconds to the HTTP answer and to the producer's
  // acknowledgement.
  const std::vector<double>& http() const { return http_; }
  const std::vector<double>& direct() const { return direct_; }
  const std::vector<double>& file() const { return file_; }
  const std::vector<double>& answer() const { return answer_; }
  const std::vector<double>& ack() const { return ack_; }
  int lost() const { return lost_; }
  const std::string& firstProblem() const { return firstProblem_; }

 private:
  // The first one is kept for the table: one line, no cell separator.
  void problem(const std::string& what) {
    ++lost_;
    if (!firstProblem_.empty()) return;
    firstProblem_ = what.substr(0, 160);
    for (char& c : firstProblem_) {
      if (static_cast<unsigned char>(c) < 0x20 || c == '|') c = ' ';
    }
  }
  // From just before the connect to the arrival; the answer must name one
  // command queued.
  void viaHttp(const std::string& title) {
    const std::string body = "{\"title\":\"" + title + "\"}";
    const std::string request =
        "POST /nowplaying HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
        "Authorization: Bearer " +
        std::string(kToken) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    const TimePoint t0 = SteadyClock::now();
    Fd fd = connectLoopback(httpPort_, 2000);
    if (!fd.valid() || !sendAll(fd.get(), request.data(), request.size(), 2000)) {
      return problem("POST /nowplaying: no connection");
    }
    const std::string answer = readToEnd(fd.get(), 2000);
    const TimePoint answered = SteadyClock::now();
    if (answer.rfind("HTTP/1.1 200", 0) != 0 ||
        answer.find("\"commands\":1") == std::string::npos) {
      return problem("POST /nowplaying answered: " + answer);
    }
    const auto arrived = sink_.arrival("RT1=" + title + "\r", 2000);
    if (!arrived) return problem("a POSTed title did not arrive within 2 s");
    http_.push_back(msBetween(t0, *arrived));
    answer_.push_back(usBetween(t0, answered));
  }
  // From just before the write to the arrival.
  void direct(const std::string& title) {
    const std::string command = "RT1=" + title + "\r";
    const TimePoint t0 = SteadyClock::now();
    if (!produce(producer_.get(), command, 2000)) return problem("a command was not acknowledged");
    const TimePoint acked = SteadyClock::now();
    const auto arrived = sink_.arrival(command, 2000);
    if (!arrived) return problem("a producer's command did not arrive within 2 s");
    direct_.push_back(msBetween(t0, *arrived));
    ack_.push_back(usBetween(t0, acked));
  }
  // A new file renamed over np.txt, as playout systems write it: from just
  // before the rename to the arrival.
  void viaFile(const std::string& title, std::chrono::microseconds pause) {
    const std::string folder = varnok_->folder.folder();
    std::ofstream(folder + "np.tmp", std::ios::binary) << title << "\n";
    std::this_thread::sleep_for(pause);
    const TimePoint t0 = SteadyClock::now();
    if (std::rename((folder + "np.tmp").c_str(), (folder + "np.txt").c_str()) != 0) {
      return problem("np.txt could not be replaced");
    }
    const auto arrived = sink_.arrival("RT1=" + title + "\r", 3000);
    if (!arrived) return problem("a title written to the file did not arrive within 3 s");
    file_.push_back(msBetween(t0, *arrived));
  }
  void run(TimePoint end, int rounds) {
    const int tick = tickMs(threads_);
    std::mt19937 random(static_cast<unsigned>(100 + threads_));
    std::uniform_int_distribution<int> pauseUs(1000, 1000 + tick * 1000);
    // The longest a round takes when everything arrives (2 ticks per way,
    // the quiet period of the file), so that the last one ends in time.
    const auto longest = std::chrono::milliseconds(4 * tick + 4 + (withFile_ ? 400 : 0));
    for (int round = 0; round < rounds && lost_ < 5; ++round) {
      if (SteadyClock::now() + longest > end) break;
      const auto pause = std::chrono::microseconds(pauseUs(random));
      const std::string title = fmt("Round %05d ", round);
      for (int way = 0; way < 2; ++way) {
        std::this_thread::sleep_for(pause);
        if ((way + round) % 2 == 0) {
          viaHttp(title + "H");
        } else {
          direct(title + "P");
        }
      }
      // The file every fifth round: each costs its quiet period.
      if (withFile_ && round % 5 == 4) viaFile(title + "F", pause);
    }
  }

  int threads_;
  bool withFile_;
  CommandSink sink_;
  std::uint16_t httpPort_ = 0;
  std::unique_ptr<Running> varnok_;
  Fd producer_;
  std::thread worker_;
  std::vector<double> http_, direct_, file_, answer_, ack_;
  int lost_ = 0;
  std::string firstProblem_;
};

// Two copies side by side: Threads 2 (the default, a 45 ms tick) and
// Threads 4 (22 ms, where what the now-playing way adds weighs most); the
// latter also watches its file.
void nowPlayingRows(int seconds) {
  constexpr int kRounds = 300;
  constexpr double kQuietMs = 250;
  progress(
      "now playing: POST /nowplaying and the file beside a producer, at most %d rounds "
      "in %d s",
      kRounds, seconds);
  std::vector<std::unique_ptr<NowPlayingProbe>> probes;
  probes.push_back(std::make_unique<NowPlayingProbe>(2, false));
  probes.push_back(std::make_unique<NowPlayingProbe>(4, true));
  const TimePoint end = SteadyClock::now() + std::chrono::seconds(seconds);
  for (auto& p : probes) p->start(end, kRounds);
  for (auto& p : probes) p->join();
  for (auto& p : probes) {
    const int tick = tickMs(p->threads());
    const auto& h = p->http();
    const auto& d = p->direct();
    const double h50 = percentile(h, 50), h99 = percentile(h, 99);
    const double d50 = percentile(d, 50), d99 = percentile(d, 99);
    const double r50 = h.empty() || d.empty() ? 0 : h50 / d50;
    const double r99 = h.empty() || d.empty() ? 0 : h99 / d99;
    std::string v = "met";
    if (h.empty() || d.empty()) {
      v = "not measured";
    } else if (r50 > 1.5 || r99 > 1.5) {
      v.clear();
      if (r50 > 1.5) v += "p50 " + verdict(r50, 1.5, true);
      if (r99 > 1.5) v += std::string(v.empty() ? "" : "; ") + "p99 " + verdict(r99, 1.5, true);
    }
    if (p->lost() > 0) v += fmt(" (%d lost: %s)", p->lost(), p->firstProblem().c_str());
    rows.push_back(
        {fmt("Now-playing update (POST /nowplaying, fresh connection) to the command at the "
             "encoder, Threads %d",
             p->threads()),
         fmt("p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)", h50, h99, percentile(h, 100),
             h.size()),
         fmt("producer sending the same command: p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)",
             d50, d99, percentile(d, 100), d.size()),
         fmt("p50 %.2fx, p99 %.2fx", r50, r99), "p50 <= 1.5x, p99 <= 1.5x", v});
    notes.push_back(
        fmt("Now playing, Threads %d (a tick of %d ms): the HTTP answer (connect, request, 200 "
            "naming the one command queued, close) took p50 %.0f us, p99 %.0f us; the producer's "
            "acknowledgement p50 %.0f us, p99 %.0f us. Both ways then wait for the next dispatch "
            "tick, which is most of either figure.",
            p->threads(), tick, percentile(p->answer(), 50), percentile(p->answer(), 99),
            percentile(p->ack(), 50), percentile(p->ack(), 99)));
    if (!p->withFile()) continue;
    const auto& f = p->file();
    const double b50 = kQuietMs + d50, b99 = kQuietMs + d99;
    const double f50 = percentile(f, 50), f99 = percentile(f, 99);
    std::string fv = "met";
    if (f.empty() || d.empty()) {
      fv = "not measured";
    } else if (f50 / b50 > 1.05 || f99 / b99 > 1.05) {
      fv.clear();
      if (f50 / b50 > 1.05) fv += "p50 " + verdict(f50 / b50, 1.05, true);
      if (f99 / b99 > 1.05)
        fv += std::string(fv.empty() ? "" : "; ") + "p99 " + verdict(f99 / b99, 1.05, true);
    }
    rows.push_back(
        {fmt("Now-playing file replaced (rename over np.txt) to the command at the encoder, "
             "Threads %d (includes the 250 ms quiet period)",
             p->threads()),
         fmt("p50 %.1f ms, p99 %.1f ms, min %.1f, max %.1f ms (n=%zu)", f50, f99, percentile(f, 0),
             percentile(f, 100), f.size()),
         fmt("250 ms + the producer's command: p50 %.1f ms, p99 %.1f ms", b50, b99),
         fmt("p50 %.3fx, p99 %.3fx", f.empty() ? 0 : f50 / b50, f.empty() ? 0 : f99 / b99),
         "p50 <= 1.05x, p99 <= 1.05x", fv});
  }
}

// ---- MQTT sites -------------------------------------------------------------

// Our own mosquitto on a free loopback port, with a configuration of our own
// in a temporary folder (never the system's service). Each client may have
// up to a million QoS 1 messages waiting, so that no run loses any;
// everything else is mosquitto's default (20 messages in flight per client,
// Nagle on) unless noDelay turns Nagle off on its connections
// (set_tcp_nodelay).
class Broker {
 public:
  explicit Broker(bool noDelay = false) {
    port_ = freePort();
    const passwd* pw = getpwuid(geteuid());
    const std::string conf = folder_.path() + "mosquitto.conf";
    // mosquitto started as root switches to the user named here.
    std::ofstream(conf) << "user " << (pw ? pw->pw_name : "root") << "\nlistener " << port_
                        << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                           "max_queued_messages 1000000\nlog_dest file "
                        << folder_.path() << "broker.log\n"
                        << (noDelay ? "set_tcp_nodelay true\n" : "");
    ChildOptions options;
    options.program = "/usr/sbin/mosquitto";
    options.args = {"-c", conf};
    child_ = std::make_unique<Child>(options);
    const auto end = SteadyClock::now() + std::chrono::seconds(10);
    while (!connectLoopback(port_, 200).valid()) {
      if (child_->wait(0) || SteadyClock::now() > end) {
        throw std::runtime_error("mosquitto did not start: " + child_->output());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::uint16_t port() const { return port_; }

 private:
  TempFolder folder_{"varnok-bench-broker"};
  std::uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
};

// A libmosquitto client on a network thread of its own (mosquitto_loop_start),
// as a playout system's publisher would be. Nagle is off; the number of QoS 1
// messages in flight is not limited on our side.
class Publisher {
 public:
  explicit Publisher(std::uint16_t port) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    mosq_ = mosquitto_new("varnok-bench-publisher", true, this);
    if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(mosq_, 0);
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
      auto* p = static_cast<Publisher*>(self);
      std::lock_guard lock(p->mutex_);
      p->connected_ = rc == 0;
      p->changed_.notify_all();
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) {
      auto* p = static_cast<Publisher*>(self);
      std::lock_guard lock(p->mutex_);
      ++p->acked_;
      p->changed_.notify_all();
    });
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
      mosquitto_destroy(mosq_);
      throw std::runtime_error("the publisher could not connect to the broker");
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [this] { return connected_; })) {
      lock.unlock();
      stopClient();
      throw std::runtime_error("the broker did not accept the publisher");
    }
  }
  ~Publisher() { stopClient(); }
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Hands one message to the library; the network thread sends it.
  bool publish(const std::string& topic, const std::string& payload, int qos = 1) {
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), qos, false) == MOSQ_ERR_SUCCESS;
  }
  // Waits until the broker has acknowledged count messages in all.
  bool waitAcked(std::uint64_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return acked_ >= count; });
  }
  std::uint64_t acked() {
    std::lock_guard lock(mutex_);
    return acked_;
  }

 private:
  void stopClient() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  std::uint64_t acked_ = 0;
};

constexpr char kSiteTopic[] = "varnok/command/all";

// One site: a copy of the program at Threads 4 with one encoder that keeps
// its connection, subscribed to varnok/command/# (the default) with QoS 1
// under a client id of its own, and a status page for /metrics.
struct MqttSite {
  MqttSite(int index, std::uint16_t brokerPort, const std::string& moreInputs = "") {
    httpPort = freePort();
    const std::string extra =
        fmt("[MQTT]\nBroker=127.0.0.1\nPort=%u\nClientId=varnok-bench-site-%d\nQoS=1\n"
            "[Status]\nHttpPort=%u\n",
            static_cast<unsigned>(brokerPort), index, static_cast<unsigned>(httpPort));
    varnok = std::make_unique<Running>(
        fmt("Site%d", index), ini(4, 0, {{"Studio", sink.port()}}, "", moreInputs) + extra);
    if (!varnok->child->waitFor("MQTT connected to", 10000) ||
        !varnok->child->waitFor(
            fmt("Status page on http://127.0.0.1:%u/", static_cast<unsigned>(httpPort)), 10000)) {
      throw std::runtime_error(fmt("site %d: no broker or no status page; output:\n", index) +
                               varnok->child->output());
    }
  }
  CommandSink sink;
  std::uint16_t httpPort = 0;
  std::unique_ptr<Running> varnok;
};

// The value of one sample of the site's /metrics; nullopt without an answer.
std::optional<double> metricSample(std::uint16_t httpPort, const std::string& sample) {
  Fd fd = connectLoopback(httpPort, 1000);
  const std::string request =
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (!fd.valid() || !sendAll(fd.get(), request.data(), request.size(), 1000)) return std::nullopt;
  const std::string page = readToEnd(fd.get(), 1000);
  const std::size_t at = page.find("\n" + sample + " ");
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(page.c_str() + at + sample.size() + 2, nullptr);
}

const std::string kMqttReceived = "varnok_commands_received_total{input=\"mqtt\"}";

// Publishes until a message reaches the fresh site (its subscription is then
// in place), then waits until every site has delivered it, so that no
// queue holds a warm-up message when the rounds begin.
void awaitSubscribed(Publisher& publisher, MqttSite& fresh,
                     const std::vector<std::unique_ptr<MqttSite>>& sites, int index) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::string command = fmt("RT1=Warm %d %d\r", index, attempt);
    if (!publisher.publish(kSiteTopic, command)) break;
    if (!fresh.sink.arrival(command, 200)) continue;
    for (const auto& s : sites) {
      if (s.get() != &fresh && !s->sink.arrival(command, 2000)) {
        throw std::runtime_error("a warm-up message did not reach every site");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return;
  }
  throw std::runtime_error(fmt("site %d: no message from the broker arrived within 10 s", index));
}

struct MqttLatency {
  std::vector<double> last;                  // publish to the arrival at the last site
  std::vector<std::vector<double>> perSite;  // publish to the arrival at each site
  std::vector<double> direct;                // producer's write to the arrival at site 1
  std::vector<double> publishCall;           // microseconds in mosquitto_publish()
  int lost = 0;
  std::string firstProblem;
};

// Rounds as in the now-playing rows: after the same random pause within the
// tick, a fresh command goes out both ways in alternating order, once
// published to the broker for every site and once written by a producer
// connected to site 1; each is timed from just before the call to its
// arrival at the encoder (at every site), and the next waits for it.
MqttLatency measureMqttLatency(Publisher& publisher,
                               const std::vector<std::unique_ptr<MqttSite>>& sites, Fd& producer,
                               int rounds, TimePoint end, unsigned seed) {
  MqttLatency out;
  out.perSite.resize(sites.size());
  std::mt19937 random(seed);
  const int tick = tickMs(4);
  std::uniform_int_distribution<int> pauseUs(1000, 1000 + tick * 1000);
  const auto longest = std::chrono::milliseconds(6 * tick + 4);
  const auto problem = [&](const std::string& what) {
    ++out.lost;
    if (out.firstProblem.empty()) out.firstProblem = what;
  };
  for (int round = 0; round < rounds && out.lost < 5; ++round) {
    if (SteadyClock::now() + longest > end) break;
    const auto pause = std::chrono::microseconds(pauseUs(random));
    for (int way = 0; way < 2; ++way) {
      std::this_thread::sleep_for(pause);
      const std::string command =
          fmt("RT1=Round %zu %05d %s\r", sites.size(), round, (way + round) % 2 == 0 ? "M" : "P");
      const TimePoint t0 = SteadyClock::now();
      if ((way + round) % 2 == 0) {
        if (!publisher.publish(kSiteTopic, command)) {
          problem("mosquitto_publish failed");
          continue;
        }
        out.publishCall.push_back(usBetween(t0, SteadyClock::now()));
        double latest = 0;
        bool all = true;
        for (std::size_t s = 0; s < sites.size(); ++s) {
          const auto arrived = sites[s]->sink.arrival(command, 2000);
          if (!arrived) {
            all = false;
            problem(fmt("a published command did not reach site %zu within 2 s", s + 1));
            continue;
          }
          out.perSite[s].push_back(msBetween(t0, *arrived));
          latest = std::max(latest, msBetween(t0, *arrived));
        }
        if (all) out.last.push_back(latest);
      } else {
        if (!produce(producer.get(), command, 2000)) {
          problem("a producer's command was not acknowledged");
          continue;
        }
        const auto arrived = sites[0]->sink.arrival(command, 2000);
        if (!arrived) {
          problem("a producer's command did not arrive within 2 s");
          continue;
        }
        out.direct.push_back(msBetween(t0, *arrived));
      }
    }
  }
  for (auto* v : {&out.last, &out.direct, &out.publishCall}) std::sort(v->begin(), v->end());
  for (auto& v : out.perSite) std::sort(v.begin(), v.end());
  return out;
}

// Seconds from just before the first of count messages is handed to the
// publisher until done() holds, checked every pollUs; nullopt after
// timeoutMs. With drain, the consumer is stopped (SIGSTOP) while the
// messages are published, and the clock starts when every one of them is
// at the broker and the consumer is let go (SIGCONT).
std::optional<double> timeStream(Publisher& publisher, const std::string& topic, int count,
                                 const std::string& tag, bool drain, pid_t consumer,
                                 const std::function<bool()>& done, int pollUs, int timeoutMs,
                                 double& publishSeconds) {
  if (drain) kill(consumer, SIGSTOP);
  const std::uint64_t ackedBefore = publisher.acked();
  TimePoint t0 = SteadyClock::now();
  for (int i = 0; i < count; ++i) {
    const std::string payload =
        i + 1 == count ? "RT1=End " + tag + "\r" : fmt("RT1=Rate %s %06d\r", tag.c_str(), i);
    if (!publisher.publish(topic, payload)) {
      if (drain) kill(consumer, SIGCONT);
      return std::nullopt;
    }
  }
  const bool acked = publisher.waitAcked(ackedBefore + static_cast<std::uint64_t>(count), 60000);
  publishSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  if (drain) {
    t0 = SteadyClock::now();
    kill(consumer, SIGCONT);
  }
  if (!acked) return std::nullopt;
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (SteadyClock::now() < end) {
    if (done()) return std::chrono::duration<double>(SteadyClock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::microseconds(pollUs));
  }
  return std::nullopt;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return percentile(v, 50);
}

std::string listed(const std::vector<double>& v, const char* format) {
  std::string s;
  for (const double x : v) s += (s.empty() ? "" : ", ") + fmt(format, x);
  return s;
}

void mqttRateRows(Broker& broker, Publisher& publisher) {
  constexpr int kMessages = 20000;
  constexpr int kRounds = 3;
  progress("mqtt: %d rounds of %d messages (QoS 1) to one site and to mosquitto_sub", kRounds,
           kMessages);
  const std::string sub = findProgram("mosquitto_sub");
  if (sub.empty()) {
    rows.push_back(
        {"MQTT messages taken from the broker", "not measured: no mosquitto_sub", "", "", "", ""});
    return;
  }
  MqttSite site(9, broker.port());
  std::vector<std::unique_ptr<MqttSite>> none;
  awaitSubscribed(publisher, site, none, 9);
  // The yardstick: the broker's own client, with QoS 1, printing every
  // message (it flushes its output after each), on a topic of its own so
  // that the two never share a stream at the same moment.
  const std::string yardTopic = "varnok/yardstick/all";
  ChildOptions options;
  options.program = sub;
  options.args = {"-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-t", yardTopic,
                  "-q", "1",         "-i", "varnok-bench-yardstick"};
  Child yardstick(options);
  bool subscribed = false;
  for (int attempt = 0; attempt < 50 && !subscribed; ++attempt) {
    const std::string probe = fmt("RT1=Warm yardstick %d\r", attempt);
    publisher.publish(yardTopic, probe);
    subscribed = yardstick.waitFor(probe, 200);
  }
  if (!subscribed)
    throw std::runtime_error("mosquitto_sub received nothing: " + yardstick.output());

  struct Way {
    std::vector<double> rates, publishRates;
    int failed = 0;
  };
  // [drain][0: the site, 1: mosquitto_sub]
  Way ways[2][2];
  for (int round = 0; round < kRounds; ++round) {
    for (const bool drain : {false, true}) {
      for (int k = 0; k < 2; ++k) {
        const int who = (k + round) % 2;  // each first in turn
        const std::string tag = fmt("%d%d%d", round, drain ? 1 : 0, who);
        double publishSeconds = 0;
        std::optional<double> seconds;
        if (who == 0) {
          const auto before = metricSample(site.httpPort, kMqttReceived);
          if (!before) throw std::runtime_error("the site's /metrics has no " + kMqttReceived);
          const double target = *before + kMessages;
          seconds = timeStream(
              publisher, kSiteTopic, kMessages, tag, drain, site.varnok->child->pid(),
              [&] {
                const auto now = metricSample(site.httpPort, kMqttReceived);
                return now && *now >= target;
              },
              5000, 30000, publishSeconds);
        } else {
          const std::string last = "RT1=End " + tag + "\r";
          std::size_t seen = yardstick.outputLength();
          std::string tail;
          seconds = timeStream(
              publisher, yardTopic, kMessages, tag, drain, yardstick.pid(),
              [&] {
                // Only what came since the last look (and a marker's width
                // before it) is searched.
                const std::string fresh = yardstick.outputFrom(seen);
                seen += fresh.size();
                tail =
                    tail.substr(tail.size() > last.size() ? tail.size() - last.size() : 0) + fresh;
                return tail.find(last) != std::string::npos;
              },
              1000, 30000, publishSeconds);
        }
        Way& w = ways[drain ? 1 : 0][who];
        if (!seconds || *seconds <= 0) {
          ++w.failed;
          continue;
        }
        w.rates.push_back(kMessages / *seconds);
        if (!drain) w.publishRates.push_back(kMessages / publishSeconds);
      }
    }
  }
  for (const bool drain : {false, true}) {
    const Way& v = ways[drain ? 1 : 0][0];
    const Way& b = ways[drain ? 1 : 0][1];
    const double vr = median(v.rates), br = median(b.rates);
    std::string result = "measured";
    if (v.failed + b.failed > 0) result += fmt(" (%d rounds incomplete)", v.failed + b.failed);
    rows.push_back(
        {drain ? fmt("MQTT messages taken from the broker by one site, %d QoS 1 messages waiting "
                     "at the broker while the site was stopped (SIGSTOP), from SIGCONT until "
                     "its mqtt counter in /metrics has them all",
                     kMessages)
               : fmt("MQTT messages taken from the broker by one site, %d QoS 1 messages "
                     "published as fast as the publisher can, from the first publish until its "
                     "mqtt counter in /metrics has them all",
                     kMessages),
         fmt("%.0f msg/s (median of %zu rounds: %s)", vr, v.rates.size(),
             listed(v.rates, "%.0f").c_str()),
         fmt("mosquitto_sub -q 1, same broker and publisher, the same payloads on a topic of its "
             "own: %.0f msg/s (%s)",
             br, listed(b.rates, "%.0f").c_str()),
         br > 0 ? fmt("%.2fx", vr / br) : "", "none set", result});
  }
  std::vector<double> publishRates = ways[0][0].publishRates;
  publishRates.insert(publishRates.end(), ways[0][1].publishRates.begin(),
                      ways[0][1].publishRates.end());
  notes.push_back(fmt(
      "MQTT rate: the publisher (libmosquitto on its own thread, no limit on messages in flight) "
      "had all %d messages acknowledged by the broker at a median %.0f msg/s in the live rounds "
      "(%s). The site's counter was read every 5 ms over HTTP, mosquitto_sub's output every 1 ms. "
      "Delivery to the encoder stays one command per 22 ms tick (Threads 4); the rows measure "
      "how fast the site takes messages into its queues, not how fast they leave.",
      kMessages, median(publishRates), listed(publishRates, "%.0f").c_str()));
}

// One site, then three, on a broker of their own; noDelay: the broker's
// connections have Nagle off.
void mqttLatencyRows(bool noDelay, std::chrono::milliseconds phase, int rounds) {
  Broker broker(noDelay);
  Publisher publisher(broker.port());
  const std::string brokerText =
      noDelay ? "mosquitto with set_tcp_nodelay true" : "mosquitto as configured by default";
  std::vector<std::unique_ptr<MqttSite>> sites;
  sites.push_back(std::make_unique<MqttSite>(1, broker.port()));
  awaitSubscribed(publisher, *sites[0], sites, 1);
  Fd producer = connectLoopback(sites[0]->varnok->port, 2000);
  const int one = 1;
  setsockopt(producer.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!produce(producer.get(), "RT1=Warm producer\r", 2000) ||
      !sites[0]->sink.arrival("RT1=Warm producer\r", 2000)) {
    throw std::runtime_error("mqtt: the producer's first command did not arrive");
  }
  std::vector<MqttLatency> results;
  for (const std::size_t count : {1u, 3u}) {
    while (sites.size() < count) {
      const int index = static_cast<int>(sites.size()) + 1;
      sites.push_back(std::make_unique<MqttSite>(index, broker.port()));
      awaitSubscribed(publisher, *sites.back(), sites, index);
    }
    results.push_back(measureMqttLatency(publisher, sites, producer, rounds,
                                         SteadyClock::now() + phase,
                                         static_cast<unsigned>(200 + count + (noDelay ? 10 : 0))));
  }
  for (const MqttLatency& r : results) {
    const std::size_t count = r.perSite.size();
    const double l50 = percentile(r.last, 50), l99 = percentile(r.last, 99);
    const double d50 = percentile(r.direct, 50), d99 = percentile(r.direct, 99);
    std::string result = r.last.empty() || r.direct.empty() ? "not measured" : "measured";
    if (r.lost > 0) result += fmt(" (%d lost: %s)", r.lost, r.firstProblem.c_str());
    rows.push_back(
        {(count == 1 ? std::string("MQTT publish (QoS 1) to the command at the encoder, 1 site")
                     : fmt("MQTT publish (QoS 1) to the command at the encoder of the last of "
                           "%zu sites",
                           count)) +
             ", Threads 4, " + brokerText,
         fmt("p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)", l50, l99, percentile(r.last, 100),
             r.last.size()),
         fmt("producer sending the same command to site 1: p50 %.1f ms, p99 %.1f ms, max %.1f ms "
             "(n=%zu)",
             d50, d99, percentile(r.direct, 100), r.direct.size()),
         d50 > 0 && d99 > 0 ? fmt("p50 %.2fx, p99 %.2fx", l50 / d50, l99 / d99) : "", "none set",
         result});
    std::string perSite;
    for (std::size_t s = 0; s < count; ++s) {
      perSite += fmt("%ssite %zu p50 %.1f, p99 %.1f, max %.1f ms", s ? "; " : "", s + 1,
                     percentile(r.perSite[s], 50), percentile(r.perSite[s], 99),
                     percentile(r.perSite[s], 100));
    }
    notes.push_back(fmt(
        "MQTT latency, %zu site%s, %s (a tick of %d ms at Threads 4): per site, %s. The call to "
        "mosquitto_publish() took p50 %.0f us, p99 %.0f us. Then the command waits for its "
        "site's next dispatch tick, which is most of every figure.%s",
        count, count == 1 ? "" : "s", brokerText.c_str(), tickMs(4), perSite.c_str(),
        percentile(r.publishCall, 50), percentile(r.publishCall, 99),
        count > 1 ? " Each copy ticks on its own, so the last of several sites waits for the "
                    "latest of their ticks."
                  : ""));
  }
}

// One message far above every bound on a command topic: it is refused
// whole, and what it costs is the growth of resident memory at its peak,
// against the site's total backlog bound. The site must still take the
// next command.
void largeMessageRow(Broker& broker, Publisher& publisher) {
  constexpr int kBoundMiB = 1;
  constexpr std::size_t kMessageBytes = 16u << 20;
  progress("mqtt: one %zu MiB message to a site with BacklogTotalMB=%d", kMessageBytes >> 20,
           kBoundMiB);
  MqttSite site(10, broker.port(), fmt("BacklogTotalMB=%d\n", kBoundMiB));
  std::vector<std::unique_ptr<MqttSite>> none;
  awaitSubscribed(publisher, site, none, 10);
  const pid_t pid = site.varnok->child->pid();
  const std::uint64_t rss0 = residentBytes(pid);
  const std::uint64_t peak0 = peakResidentBytes(pid);
  const std::string refused = fmt("MQTT message refused - %zu bytes", kMessageBytes);
  const std::string after = "RT1=After the large one\r";
  if (!publisher.publish(kSiteTopic, std::string(kMessageBytes, 'L')) ||
      !site.varnok->child->waitFor(refused, 30000) || !publisher.publish(kSiteTopic, after) ||
      !site.sink.arrival(after, 5000)) {
    rows.push_back({"Resident memory, one 16 MiB broker message",
                    "not measured: the message was not refused, or the site took nothing after it",
                    "", "", "", ""});
    return;
  }
  const std::uint64_t peak = std::max(peakResidentBytes(pid), peak0);
  const std::uint64_t rss1 = residentBytes(pid);
  const auto mib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; };
  const std::uint64_t growth = peak - std::min(peak, rss0);
  const double ratio = static_cast<double>(growth) / (kBoundMiB * 1048576.0);
  rows.push_back(
      {"Resident memory, one 16 MiB message on a command topic, refused (growth at the "
       "peak)",
       fmt("%.1f MiB (RSS %.1f MiB before, peak %.1f, %.1f after)", mib(growth), mib(rss0),
           mib(peak), mib(rss1)),
       fmt("BacklogTotalMB=%d", kBoundMiB), fmt("%.2fx", ratio), "<= 1.2x",
       verdict(ratio, 1.2, true)});
  notes.push_back(
      "The 16 MiB message: the site keeps no copy of a payload above its bound, but "
      "libmosquitto 2.0 reads a packet whole before handing it over, and MQTT 3.1.1 gives a "
      "client no way to announce a maximum; the broker's max_packet_size (docs/sites.md) keeps "
      "such a message from reaching the site at all.");
}

void mqttRows(int seconds) {
  constexpr int kRounds = 200;
  const auto phase = std::chrono::milliseconds(std::min(seconds, 30) * 200);
  progress(
      "mqtt: publish to encoder beside a producer at 1 and 3 sites, two brokers, at most %d "
      "rounds or %lld ms each",
      kRounds, static_cast<long long>(phase.count()));
  mqttLatencyRows(false, phase, kRounds);
  mqttLatencyRows(true, phase, kRounds);
  Broker broker;
  Publisher publisher(broker.port());
  mqttRateRows(broker, publisher);
  largeMessageRow(broker, publisher);
}

// ---- Memory per queued command ----------------------------------------------

// An encoder that refuses connections (a bound socket that does not listen):
// after ErrorLimit attempts it is suspended, and every command stays queued.
Fd boundNotListening(std::uint16_t& port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback(0);
  socklen_t length = sizeof a;
  bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length);
  port = ntohs(a.sin_port);
  return fd;
}

// Sends total commands over conns, one outstanding per connection; the number
// acknowledged. Ends early when nothing moves for idleMs.
std::size_t pipelined(const std::vector<Fd>& conns, std::size_t total,
                      const std::function<std::string(std::size_t)>& command, int idleMs) {
  Fd epfd(epoll_create1(EPOLL_CLOEXEC));
  std::vector<std::size_t> got(conns.size(), 0);
  std::size_t sent = 0, acked = 0;
  for (std::size_t i = 0; i < conns.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(epfd.get(), EPOLL_CTL_ADD, conns[i].get(), &ev);
    if (sent >= total) continue;
    const std::string c = command(sent);
    if (sendAll(conns[i].get(), c.data(), c.size(), 2000)) ++sent;
  }
  epoll_event events[256];
  char buffer[256];
  while (acked < sent) {
    const int n = epoll_wait(epfd.get(), events, 256, idleMs);
    if (n <= 0) break;
    for (int e = 0; e < n; ++e) {
      const std::size_t i = events[e].data.u64;
      const ssize_t r = recv(conns[i].get(), buffer, sizeof buffer, 0);
      if (r <= 0) {
        epoll_ctl(epfd.get(), EPOLL_CTL_DEL, conns[i].get(), nullptr);
        continue;
      }
      got[i] += static_cast<std::size_t>(r);
      while (got[i] >= kAckSize) {
        got[i] -= kAckSize;
        ++acked;
        if (sent < total) {
          const std::string c = command(sent);
          if (sendAll(conns[i].get(), c.data(), c.size(), 2000)) ++sent;
        }
      }
    }
  }
  return acked;
}

void memoryRow() {
  constexpr std::size_t kCommands = 1000000;
  constexpr std::size_t kCommandSize = 64;
  constexpr int kConnections = 64;
  progress("resident bytes per queued command: queueing %zu commands of %zu bytes", kCommands,
           kCommandSize);
  std::uint16_t refusingPort = 0;
  const Fd refusing = boundNotListening(refusingPort);
  Running varnok("Memory", ini(2, 0, {{"Studio", refusingPort}},
                               "MaxMinutesInQueue=0\nErrorLimit=3\nSuspendForMinutes=600\n",
                               "ProducerBacklogKB=0\n"));
  int failures = 0;
  std::vector<Fd> conns = openProducers(varnok.port, kConnections, failures);
  // Let the suspension happen and the start-up settle before the reading.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto before = queueLength(*varnok.child, "Studio");
  const std::uint64_t rss0 = residentBytes(varnok.child->pid());
  const auto command = [](std::size_t i) {
    std::string c = fmt("RT=%010zu ", i);
    c.resize(kCommandSize - 2, 'x');
    return c + "\r\n";
  };
  const TimePoint t0 = SteadyClock::now();
  const std::size_t acked = pipelined(conns, kCommands, command, 5000);
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  const auto after = queueLength(*varnok.child, "Studio");
  const std::uint64_t rss1 = residentBytes(varnok.child->pid());
  if (!before || !after || acked != kCommands || *after - *before != static_cast<long>(kCommands)) {
    rows.push_back({"Resident bytes per queued 64-byte command, 10^6 queued",
                    fmt("not measured: %zu acknowledged, queue %ld -> %ld", acked,
                        before.value_or(-1), after.value_or(-1)),
                    "64 bytes", "", "<= 2.5x", ""});
    return;
  }
  const double perCommand = static_cast<double>(rss1 - rss0) / static_cast<double>(kCommands);
  const double ratio = perCommand / static_cast<double>(kCommandSize);
  rows.push_back({"Resident bytes per queued 64-byte command, 10^6 queued",
                  fmt("%.1f bytes (RSS %.1f -> %.1f MiB; queue %ld -> %ld)", perCommand,
                      static_cast<double>(rss0) / 1048576.0, static_cast<double>(rss1) / 1048576.0,
                      *before, *after),
                  "64 bytes", fmt("%.2fx", ratio), "<= 2.5x (160 bytes)",
                  verdict(ratio, 2.5, true)});
  notes.push_back(
      fmt("Queueing the million commands over %d producer connections took %.1f s "
          "(%.0f commands/s, each acknowledged before that connection sent the next).",
          kConnections, seconds, static_cast<double>(kCommands) / seconds));
}

// ---- Memory with every producer flooding ------------------------------------

// 200 producer connections write 64 KiB blocks as fast as they are taken and
// never read, while the encoder cannot be reached: each stays far within its
// own ProducerBacklogKB (16 MiB), so only the total bound stops them. The
// growth of resident memory at its peak, against the bound.
void backlogRow() {
  constexpr int kFlooders = 200;
  constexpr int kBoundMiB = 64;
  progress("resident memory: %d producers flooding, BacklogTotalMB=%d, encoder unreachable",
           kFlooders, kBoundMiB);
  std::uint16_t refusingPort = 0;
  const Fd refusing = boundNotListening(refusingPort);
  Running varnok("Backlog", ini(2, 0, {{"Studio", refusingPort}},
                                "ErrorLimit=3\nSuspendForMinutes=600\nMaxMinutesInQueue=600\n",
                                fmt("BacklogTotalMB=%d\n", kBoundMiB)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // suspended, settled
  const pid_t pid = varnok.child->pid();
  const std::uint64_t rss0 = residentBytes(pid);
  std::vector<Fd> conns;
  for (int i = 0; i < kFlooders; ++i) {
    Fd fd = connectLoopback(varnok.port, 2000);
    if (fd.valid()) conns.push_back(std::move(fd));
  }
  // Until no connection has taken a byte for a second: everything is held,
  // and the kernel's buffers are full.
  const std::string block(65536, 'F');
  std::vector<pollfd> fds;
  for (const Fd& fd : conns) fds.push_back({fd.get(), POLLOUT, 0});
  std::uint64_t written = 0;
  const TimePoint t0 = SteadyClock::now();
  TimePoint moved = t0;
  while (SteadyClock::now() - moved < std::chrono::seconds(1) &&
         SteadyClock::now() - t0 < std::chrono::seconds(30)) {
    if (poll(fds.data(), fds.size(), 50) <= 0) continue;
    for (pollfd& p : fds) {
      if (!(p.revents & POLLOUT)) continue;
      const ssize_t n = send(p.fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) continue;
      written += static_cast<std::uint64_t>(n);
      moved = SteadyClock::now();
    }
  }
  const double seconds = msBetween(t0, moved) / 1000;
  const std::uint64_t peak = peakResidentBytes(pid);
  const std::uint64_t rss1 = residentBytes(pid);
  const auto queued = queueLength(*varnok.child, "Studio");
  const double bound = kBoundMiB * 1048576.0;
  const double ratio = static_cast<double>(peak - std::min(peak, rss0)) / bound;
  const auto mib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; };
  rows.push_back(
      {fmt("Resident memory, %zu producers flooding, encoder unreachable (growth at the peak)",
           conns.size()),
       fmt("%.1f MiB (RSS %.1f MiB before, peak %.1f, %.1f at the end; %ld commands queued)",
           mib(peak - std::min(peak, rss0)), mib(rss0), mib(peak), mib(rss1), queued.value_or(-1)),
       fmt("BacklogTotalMB=%d", kBoundMiB), fmt("%.2fx", ratio), "<= 1.25x",
       verdict(ratio, 1.25, true)});
  notes.push_back(
      fmt("The %zu flooding producers had written %.1f MiB (most of it waiting in the kernel's "
          "socket buffers) when the last one stalled after %.1f s. Without the total bound each "
          "connection may queue ProducerBacklogKB (16 MiB by default): %zu of them up to "
          "%.1f GiB.",
          conns.size(), mib(written), seconds, conns.size(),
          static_cast<double>(conns.size()) * 16 / 1024));
}

// ---- Ban list size ----------------------------------------------------------

// Every chunk a producer sends is checked against the ban and vip lists: the
// acknowledgement round trip of one producer, with a varnok.ban of n entries
// (half exact addresses, half "prefix*" patterns, none matching the
// producer), from 10^3 to 10^6. The four copies run side by side and are
// measured in interleaved rounds, so that the machine's moods fall on all.
void banListRow() {
  EncoderSink sink({});
  constexpr int kCopies = 4;
  const int sizes[kCopies] = {1000, 10000, 100000, 1000000};
  const char* labels[kCopies] = {"10^3", "10^4", "10^5", "10^6"};
  std::vector<std::unique_ptr<Running>> copies;
  std::vector<std::vector<Fd>> conns;
  for (const int n : sizes) {
    progress("a copy with a ban list of %d entries", n);
    std::string ban;
    for (int e = 0; e < n; ++e) {
      const int a = (e >> 16) & 255, b = (e >> 8) & 255, c = e & 255;
      ban += e % 2 ? fmt("10.%d.%d.%d\n", a, b, c) : fmt("11.%d.%d.%d*\n", a, b, c);
    }
    copies.push_back(
        std::make_unique<Running>(fmt("Ban%d", n), ini(2, 0, {{"Studio", sink.port()}}), 0,
                                  std::map<std::string, std::string>{{"varnok.ban", ban}}));
    int failures = 0;
    conns.push_back(openProducers(copies.back()->port, 1, failures));
    if (conns.back().empty()) throw std::runtime_error(fmt("ban list of %d: no connection", n));
  }
  // The driver on the first processor, the copies on the last: where a copy
  // happens to be woken would otherwise decide its round trip more than its
  // list does.
  cpu_set_t driverWas;
  sched_getaffinity(0, sizeof driverWas, &driverWas);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus > 1) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(cpus - 1), &set);
    for (const auto& copy : copies) sched_setaffinity(copy->child->pid(), sizeof set, &set);
  }
  progress("acknowledgement round trips with the four ban lists");
  RoundTrips r[kCopies];
  for (int i = 0; i < kCopies; ++i) {
    RoundTrips warm;
    measureRoundTrips(conns[i], 500, warm);
    r[i].failures += warm.failures;
  }
  for (int round = 0; round < 10; ++round) {
    for (int k = 0; k < kCopies; ++k) {
      const int i = (round + k) % kCopies;
      measureRoundTrips(conns[i], 500, r[i]);
    }
  }
  sched_setaffinity(0, sizeof driverWas, &driverWas);
  std::string measured, ratios, resident;
  double p50[kCopies], worst = 0;
  for (int i = 0; i < kCopies; ++i) {
    std::sort(r[i].us.begin(), r[i].us.end());
    p50[i] = percentile(r[i].us, 50);
    measured += fmt("%s%s: p50 %.1f us, p99 %.1f us", i ? ", " : "", labels[i], p50[i],
                    percentile(r[i].us, 99));
    if (r[i].failures > 0) measured += fmt(" (%d failed)", r[i].failures);
    resident += fmt("%s%s: %.1f MiB", i ? ", " : "", labels[i],
                    static_cast<double>(residentBytes(copies[i]->child->pid())) / 1048576.0);
    if (i == 0) continue;
    worst = std::max(worst, p50[i] / p50[0]);
    ratios += fmt("%s%s: %.2fx", i > 1 ? ", " : "", labels[i], p50[i] / p50[0]);
  }
  rows.push_back({"Acknowledgement round trip, 1 producer, varnok.ban of n entries (none matching)",
                  measured, fmt("10^3: p50 %.1f us", p50[0]), ratios,
                  "constant: p50 <= 1.5x at every n", verdict(worst, 1.5, true)});
  notes.push_back("Resident memory of the copies with the ban lists above: " + resident + ".");
}

// ---- Producers connected at once ----------------------------------------------

enum class Fate { Pending, Acked, Closed };

struct Producer {
  Fd fd;
  bool connected = false;
  std::size_t got = 0;
  Fate fate = Fate::Pending;
};

// Connects n producers (at most maxConnecting handshakes at a time), sends one
// command on each and waits for its answer: an acknowledgement, a close, or
// nothing within idleMs of the last progress.
std::vector<Producer> connectMany(std::uint16_t port, int n, int maxConnecting, int idleMs) {
  std::vector<Producer> producers(static_cast<std::size_t>(n));
  Fd epfd(epoll_create1(EPOLL_CLOEXEC));
  std::size_t started = 0, connecting = 0, settled = 0;
  const sockaddr_in a = loopback(port);
  const auto startMore = [&] {
    while (started < producers.size() && connecting < static_cast<std::size_t>(maxConnecting)) {
      Producer& p = producers[started];
      p.fd = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      epoll_event ev{};
      ev.events = EPOLLOUT;
      ev.data.u64 = started;
      ++started;
      if (!p.fd.valid() ||
          (connect(p.fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 &&
           errno != EINPROGRESS) ||
          epoll_ctl(epfd.get(), EPOLL_CTL_ADD, p.fd.get(), &ev) != 0) {
        p.fate = Fate::Closed;
        ++settled;
        continue;
      }
      ++connecting;
    }
  };
  startMore();
  epoll_event events[256];
  char buffer[64];
  while (settled < producers.size()) {
    const int count = epoll_wait(epfd.get(), events, 256, idleMs);
    if (count <= 0) break;
    for (int e = 0; e < count; ++e) {
      Producer& p = producers[events[e].data.u64];
      if (!p.connected) {
        --connecting;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(p.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || send(p.fd.get(), "RT\r", 3, MSG_NOSIGNAL) != 3) {
          p.fate = Fate::Closed;
          ++settled;
          epoll_ctl(epfd.get(), EPOLL_CTL_DEL, p.fd.get(), nullptr);
          continue;
        }
        p.connected = true;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = events[e].data.u64;
        epoll_ctl(epfd.get(), EPOLL_CTL_MOD, p.fd.get(), &ev);
        continue;
      }
      const ssize_t r = recv(p.fd.get(), buffer, sizeof buffer, 0);
      if (r > 0) p.got += static_cast<std::size_t>(r);
      if (r > 0 && p.got < kAckSize) continue;
      if (r < 0 && errno == EAGAIN) continue;
      p.fate = p.got >= kAckSize ? Fate::Acked : Fate::Closed;
      ++settled;
      epoll_ctl(epfd.get(), EPOLL_CTL_DEL, p.fd.get(), nullptr);
    }
    startMore();
  }
  return producers;
}

std::size_t countFate(const std::vector<Producer>& producers, Fate fate) {
  return static_cast<std::size_t>(std::count_if(producers.begin(), producers.end(),
                                                [&](const Producer& p) { return p.fate == fate; }));
}

void producersRow(rlim_t limit) {
  constexpr int kProducers = 10000;
  progress("%d producers connected at once (descriptor limit %llu)", kProducers,
           static_cast<unsigned long long>(limit));
  EncoderSink sink({});
  Running varnok("Producers", ini(2, 0, {{"Studio", sink.port()}}));
  const TimePoint t0 = SteadyClock::now();
  std::vector<Producer> producers = connectMany(varnok.port, kProducers, 512, 10000);
  const double connectSeconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  const std::size_t first = countFate(producers, Fate::Acked);
  // Held: every acknowledged connection answers a second command while all
  // of them are still open.
  std::vector<Fd> open;
  for (Producer& p : producers) {
    if (p.fate == Fate::Acked) open.push_back(std::move(p.fd));
  }
  const std::size_t second = pipelined(
      open, open.size(), [](std::size_t) { return std::string("RT\r"); }, 10000);
  const bool alive = !varnok.child->wait(0);
  rows.push_back({"Producers connected at once, each acknowledged",
                  fmt("%zu connected and acknowledged in %.1f s; %zu of them answered a second "
                      "command with all still open",
                      first, connectSeconds, second),
                  "10,000", fmt("%.3fx", static_cast<double>(second) / kProducers),
                  "all 10,000 held", second == kProducers && alive ? "met" : "**missed**"});
  open.clear();
  producers.clear();

  // At the descriptor limit: a copy limited to 256 descriptors, 400 producers.
  constexpr rlim_t kSmallLimit = 256;
  constexpr int kMany = 400;
  progress("descriptor limit: a copy with RLIMIT_NOFILE %llu, %d producers",
           static_cast<unsigned long long>(kSmallLimit), kMany);
  Running small("Limited", ini(2, 0, {{"Studio", sink.port()}}), kSmallLimit);
  std::vector<Producer> crowd = connectMany(small.port, kMany, 512, 3000);
  const std::size_t acked = countFate(crowd, Fate::Acked);
  const std::size_t closed = countFate(crowd, Fate::Closed);
  const std::size_t waiting = countFate(crowd, Fate::Pending);
  // Half of the served ones leave; newcomers must be served again.
  std::size_t left = 0;
  for (Producer& p : crowd) {
    if (p.fate == Fate::Acked && left < acked / 2) {
      p.fd.reset();
      ++left;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<Producer> newcomers = connectMany(small.port, 50, 512, 3000);
  const std::string log = small.child->output();
  notes.push_back(fmt(
      "At the descriptor limit (a copy started with RLIMIT_NOFILE %llu, %d producers connecting "
      "and each sending one command): %zu were acknowledged, %zu were turned away (connection "
      "closed without an answer), %zu got no answer within 3 s; the log holds %zu line(s) "
      "\"Socket Error 10024 - Too many open files\". After %zu of the served producers left, "
      "%zu of 50 newcomers were acknowledged. The driver and the copies above ran with "
      "RLIMIT_NOFILE %llu (soft raised to hard).",
      static_cast<unsigned long long>(kSmallLimit), kMany, acked, closed, waiting,
      countOf(log, "Socket Error 10024 - Too many open files"), left,
      countFate(newcomers, Fate::Acked), static_cast<unsigned long long>(limit)));
}

// ---- Encoders that confirm, and encoders over UDP ---------------------------

// A command as the stand-ins key it: without its line ends.
std::string bare(std::string command) {
  while (!command.empty() && (command.back() == '\r' || command.back() == '\n')) command.pop_back();
  return command;
}

// What an encoder stand-in was sent: each command (without its line ends)
// with the moment the read that brought it returned, in order of arrival.
class Arrivals {
 public:
  void add(std::string command, TimePoint when) {
    std::lock_guard lock(mutex_);
    times_.push_back(when);
    byCommand_.emplace(std::move(command), when);
    arrived_.notify_all();
  }
  // When command arrived, waiting at most timeoutMs for it; each arrival is
  // handed out once.
  std::optional<TimePoint> arrival(const std::string& command, int timeoutMs) {
    std::unique_lock lock(mutex_);
    std::optional<TimePoint> when;
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      const auto found = byCommand_.find(command);
      if (found == byCommand_.end()) return false;
      when = found->second;
      byCommand_.erase(found);
      return true;
    });
    return when;
  }
  std::vector<TimePoint> times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<TimePoint> times_;
  std::map<std::string, TimePoint> byCommand_;
};

// An encoder stand-in on a thread of its own, recording what it is sent.
class StandIn {
 public:
  virtual ~StandIn() = default;
  virtual std::uint16_t port() const = 0;
  Arrivals& arrivals() { return arrivals_; }

 protected:
  Arrivals arrivals_;
};

// Over TCP, keeping its connections: a command is a line, ended by CR or LF
// (empty lines are skipped). With a reply set it answers every line with it
// as soon as it has read it, before anything else, as an encoder that
// confirms would.
class LineSink final : public StandIn {
 public:
  explicit LineSink(std::string reply = "") : reply_(std::move(reply)) {
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { run(); });
  }
  ~LineSink() override {
    stop_ = true;
    thread_.join();
  }
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  std::uint16_t port() const override { return port_; }
  std::uint64_t replies() const { return replies_; }
  std::uint64_t repliesNotSent() const { return repliesNotSent_; }

 private:
  struct Connection {
    Fd fd;
    std::string pending;  // bytes not yet ended by a CR or LF
  };
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    std::vector<Connection> conns;
    char buffer[4096];
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
      for (const Connection& c : conns) fds.push_back({c.fd.get(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < conns.size(); ++i) {
        if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = recv(conns[i].fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0) {
          if (got == 0 || (errno != EAGAIN && errno != EINTR)) conns[i].fd.reset();
          continue;
        }
        const TimePoint when = SteadyClock::now();
        std::string& pending = conns[i].pending;
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end = pending.find_first_of("\r\n"); end != std::string::npos;
             end = pending.find_first_of("\r\n")) {
          std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          if (line.empty()) continue;
          if (!reply_.empty()) {
            // A few bytes into an empty socket buffer: taken whole or not at all.
            const ssize_t sent =
                send(conns[i].fd.get(), reply_.data(), reply_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == static_cast<ssize_t>(reply_.size())) {
              ++replies_;
            } else {
              ++repliesNotSent_;
            }
          }
          arrivals_.add(std::move(line), when);
        }
        if (pending.size() > 65536) pending.clear();
      }
      conns.erase(std::remove_if(conns.begin(), conns.end(),
                                 [](const Connection& c) { return !c.fd.valid(); }),
                  conns.end());
      if (fds[0].revents & POLLIN) {
        const int c = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) conns.push_back({Fd(c), {}});
      }
    }
  }

  std::string reply_;
  std::uint16_t port_ = 0;
  Fd listener_;
  std::atomic<std::uint64_t> replies_{0};
  std::atomic<std::uint64_t> repliesNotSent_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Over UDP: a socket bound to 127.0.0.1 that takes each datagram as one
// command. It is bound before the copy starts, so no datagram meets a
// closed port.
class DatagramSink final : public StandIn {
 public:
  DatagramSink() {
    socket_ = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (!socket_.valid() || bind(socket_.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      throw std::runtime_error(std::string("UDP on loopback: ") + std::strerror(errno));
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~DatagramSink() override {
    stop_ = true;
    thread_.join();
  }
  DatagramSink(const DatagramSink&) = delete;
  DatagramSink& operator=(const DatagramSink&) = delete;

  std::uint16_t port() const override { return port_; }

 private:
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    char buffer[65536];
    while (!stop_) {
      pollfd p{socket_.get(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      for (;;) {
        const ssize_t got = recv(socket_.get(), buffer, sizeof buffer, 0);
        if (got < 0) break;
        const TimePoint when = SteadyClock::now();
        arrivals_.add(bare(std::string(buffer, static_cast<std::size_t>(got))), when);
      }
    }
  }

  std::uint16_t port_ = 0;
  Fd socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Over TCP, keeping its connections, for an encoder that takes UECP: the
// frames are read with the program's codec, and each radio text is recorded
// as "RT=<text>". With acknowledge set, every frame is answered at once with
// a positive acknowledgement that carries its sequence counter, as an
// encoder that confirms would.
class UecpSink final : public StandIn {
 public:
  explicit UecpSink(bool acknowledge) : acknowledge_(acknowledge) {
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { run(); });
  }
  ~UecpSink() override {
    stop_ = true;
    thread_.join();
  }
  UecpSink(const UecpSink&) = delete;
  UecpSink& operator=(const UecpSink&) = delete;

  std::uint16_t port() const override { return port_; }
  std::uint64_t frames() const { return frames_; }
  std::uint64_t faults() const { return faults_; }
  std::uint64_t acknowledged() const { return acknowledged_; }

 private:
  static constexpr std::uint8_t kRadioText = 0x0A;        // MEC DSN PSN MEL config text
  static constexpr std::uint8_t kAcknowledgement = 0x18;  // MEC code sequence
  static constexpr std::size_t kRadioTextAt = 5;

  struct Connection {
    Fd fd;
    uecp::FrameReader reader;
  };
  void take(Connection& c, TimePoint when) {
    while (std::optional<Result<uecp::Frame>> next = c.reader.next()) {
      if (!*next) {
        ++faults_;
        continue;
      }
      const uecp::Frame& frame = next->value();
      ++frames_;
      if (acknowledge_) {
        const std::uint8_t message[] = {kAcknowledgement, 0, frame.sequence};
        const Result<uecp::Bytes> ack = uecp::frame(frame.address, frame.sequence, message);
        // A few bytes into an empty socket buffer: taken whole or not at all.
        if (ack && send(c.fd.get(), ack.value().data(), ack.value().size(),
                        MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(ack.value().size())) {
          ++acknowledged_;
        }
      }
      const uecp::Bytes& m = frame.message;
      if (m.size() >= kRadioTextAt && m[0] == kRadioText) {
        arrivals_.add("RT=" + std::string(m.begin() + kRadioTextAt, m.end()), when);
      }
    }
  }
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    std::vector<Connection> conns;
    std::uint8_t buffer[4096];
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
      for (const Connection& c : conns) fds.push_back({c.fd.get(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < conns.size(); ++i) {
        if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = recv(conns[i].fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0) {
          if (got == 0 || (errno != EAGAIN && errno != EINTR)) conns[i].fd.reset();
          continue;
        }
        const TimePoint when = SteadyClock::now();
        conns[i].reader.feed(std::span(buffer, static_cast<std::size_t>(got)));
        take(conns[i], when);
      }
      conns.erase(std::remove_if(conns.begin(), conns.end(),
                                 [](const Connection& c) { return !c.fd.valid(); }),
                  conns.end());
      if (fds[0].revents & POLLIN) {
        const int c = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) conns.push_back({Fd(c), {}});
      }
    }
  }

  bool acknowledge_;
  std::uint16_t port_ = 0;
  Fd listener_;
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<std::uint64_t> faults_{0};
  std::atomic<std::uint64_t> acknowledged_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One copy at Threads 4 with one encoder (its stand-in and more keys of its
// section) and, when asked, a status page for its /metrics.
struct EncoderCopy {
  EncoderCopy(const std::string& name, std::unique_ptr<StandIn> standIn, const std::string& keys,
              bool statusPage)
      : sink(std::move(standIn)) {
    std::string configuration = ini(4, 0, {{"Studio", sink->port()}}) + keys;
    if (statusPage) {
      httpPort = freePort();
      configuration += "[Status]\nHttpPort=" + std::to_string(httpPort) + "\n";
    }
    varnok = std::make_unique<Running>(name, configuration);
    if (statusPage &&
        !varnok->child->waitFor(
            fmt("Status page on http://127.0.0.1:%u/", static_cast<unsigned>(httpPort)), 10000)) {
      throw std::runtime_error(name + ": no status page; output:\n" + varnok->child->output());
    }
  }
  // Queues count commands over one producer connection, by default
  // "RT=0000000001\r\n" and so on; how many were acknowledged.
  int prefill(
      int count, const std::function<std::string(int)>& command = [](int i) {
        return fmt("RT=%010d\r\n", i);
      }) {
    Fd producer = connectLoopback(varnok->port, 2000);
    int acked = 0;
    for (int i = 0; i < count && producer.valid(); ++i) {
      if (produce(producer.get(), command(i), 2000)) ++acked;
    }
    return acked;
  }
  // A per-encoder sample of its /metrics ("varnok_encoder_confirms").
  std::optional<double> encoderMetric(const std::string& name) const {
    if (httpPort == 0) return std::nullopt;
    return metricSample(httpPort, name + "{encoder=\"Studio\",number=\"1\"}");
  }

  std::unique_ptr<StandIn> sink;  // outlives the copy
  std::uint16_t httpPort = 0;
  std::unique_ptr<Running> varnok;
};

// The pace of the arrivals in (from, to]. The rate counts the intervals
// between the first and the last arrival in the window, as the sustained
// rows do, so its inverse is the mean interval.
struct Pace {
  std::size_t commands = 0;
  double perSecond = 0;
  double meanGapMs = 0;
  std::vector<double> gapsMs;  // from each arrival to the next, sorted
};

Pace paceOf(const std::vector<TimePoint>& times, TimePoint from, TimePoint to) {
  Pace p;
  std::vector<TimePoint> in;
  for (const TimePoint t : times) {
    if (t > from && t <= to) in.push_back(t);
  }
  p.commands = in.size();
  if (in.size() < 2) return p;
  for (std::size_t i = 1; i < in.size(); ++i) p.gapsMs.push_back(msBetween(in[i - 1], in[i]));
  std::sort(p.gapsMs.begin(), p.gapsMs.end());
  const double seconds = std::chrono::duration<double>(in.back() - in.front()).count();
  if (seconds > 0) {
    p.perSecond = static_cast<double>(in.size() - 1) / seconds;
    p.meanGapMs = seconds * 1000 / static_cast<double>(in.size() - 1);
  }
  return p;
}

std::string paceText(const Pace& p, double window) {
  return fmt("%.2f/s (%zu in %.1f s)", p.perSecond, p.commands, window);
}

std::string gapText(const Pace& p, int tick) {
  const auto late = static_cast<std::size_t>(
      std::count_if(p.gapsMs.begin(), p.gapsMs.end(), [&](double g) { return g > 1.5 * tick; }));
  return fmt("mean %.3f ms, p50 %.2f, p99 %.2f, max %.2f ms, %zu longer than 1.5 ticks (n=%zu)",
             p.meanGapMs, percentile(p.gapsMs, 50), percentile(p.gapsMs, 99),
             percentile(p.gapsMs, 100), late, p.gapsMs.size());
}

// Command latency with an idle dispatcher to one encoder whose link stays
// up (TCP that keeps its connection, or UDP): once a first command has
// brought the link up, each command waits only for the next send tick.
// Each is written at a random moment within the tick after the last one
// arrived, and timed from just before the write to its arrival.
class KeptLinkProbe {
 public:
  KeptLinkProbe(std::unique_ptr<EncoderCopy> copy, unsigned seed)
      : copy_(std::move(copy)), seed_(seed) {
    producer_ = connectLoopback(copy_->varnok->port, 2000);
    const int one = 1;
    setsockopt(producer_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!produce(producer_.get(), "RT=Warm\r\n", 2000) ||
        !copy_->sink->arrivals().arrival("RT=Warm", 5000)) {
      throw std::runtime_error("kept link: the first command did not arrive; output:\n" +
                               copy_->varnok->child->output());
    }
  }
  void start(TimePoint end) {
    worker_ = std::thread([this, end] { run(end); });
  }
  void join() {
    worker_.join();
    std::sort(samples_.begin(), samples_.end());
    std::sort(acks_.begin(), acks_.end());
  }
  // Sorted once the probe has ended: milliseconds from the write to the
  // arrival, and microseconds to the producer's acknowledgement.
  const std::vector<double>& samples() const { return samples_; }
  const std::vector<double>& acks() const { return acks_; }
  int lost() const { return lost_; }

 private:
  void run(TimePoint end) {
    const int tick = tickMs(4);
    std::mt19937 random(seed_);
    // The last arrival came right after a tick: a pause of 1 ms to 1 ms +
    // a tick puts the write anywhere within the tick.
    std::uniform_int_distribution<int> pauseUs(1000, 1000 + tick * 1000);
    const auto longest = std::chrono::milliseconds(2 * tick + 500);
    for (int i = 0;; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
      if (SteadyClock::now() + longest > end) break;
      const std::string command = fmt("RT=Kept%06d", i);
      const TimePoint t0 = SteadyClock::now();
      if (!produce(producer_.get(), command + "\r\n", 2000)) {
        ++lost_;
        break;
      }
      const TimePoint acked = SteadyClock::now();
      const auto arrived = copy_->sink->arrivals().arrival(command, 2000);
      if (!arrived) {
        ++lost_;
        continue;
      }
      samples_.push_back(msBetween(t0, *arrived));
      acks_.push_back(usBetween(t0, acked));
    }
  }

  std::unique_ptr<EncoderCopy> copy_;
  unsigned seed_;
  Fd producer_;
  std::thread worker_;
  std::vector<double> samples_;
  std::vector<double> acks_;
  int lost_ = 0;
};

// The producer's acknowledgement round trip to several copies while they
// deliver: in each round one exchange with every copy, the order rotating
// from round to round, after a random pause of 1 to 3 ms, so that the
// exchanges fall anywhere within the dispatch tick and the machine's moods
// on all copies alike.
class AckProbe {
 public:
  AckProbe(const std::vector<std::uint16_t>& ports, std::string command, unsigned seed)
      : command_(std::move(command)), seed_(seed), samples_(ports.size()), lost_(ports.size()) {
    const int one = 1;
    for (const std::uint16_t port : ports) {
      Fd fd = connectLoopback(port, 2000);
      // The first command of a connection also waits for its acceptance.
      if (!fd.valid() || !produce(fd.get(), command_, 2000)) {
        throw std::runtime_error("acknowledgement probe: a copy did not answer");
      }
      setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      producers_.push_back(std::move(fd));
    }
  }
  void start(TimePoint end) {
    worker_ = std::thread([this, end] { run(end); });
  }
  void join() {
    worker_.join();
    for (std::vector<double>& s : samples_) std::sort(s.begin(), s.end());
  }
  // Sorted once the probe has ended: microseconds from just before the
  // write to the acknowledgement's arrival.
  const std::vector<double>& roundTrips(std::size_t copy) const { return samples_[copy]; }
  int lost(std::size_t copy) const { return lost_[copy]; }

 private:
  void run(TimePoint end) {
    std::mt19937 random(seed_);
    std::uniform_int_distribution<int> pauseUs(1000, 3000);
    for (std::size_t round = 0;; ++round) {
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
      if (SteadyClock::now() >= end) break;
      for (std::size_t k = 0; k < producers_.size(); ++k) {
        const std::size_t copy = (round + k) % producers_.size();
        const TimePoint t0 = SteadyClock::now();
        if (produce(producers_[copy].get(), command_, 2000)) {
          samples_[copy].push_back(usBetween(t0, SteadyClock::now()));
        } else {
          ++lost_[copy];
        }
      }
    }
  }

  std::string command_;
  unsigned seed_;
  std::vector<Fd> producers_;
  std::thread worker_;
  std::vector<std::vector<double>> samples_;
  std::vector<int> lost_;
};

// Seven copies at Threads 4 in one window, each with one encoder: a deep
// queue to an encoder that confirms each command beside the same encoder
// without ReplyOk (both stand-ins answer OK at once; the second copy does
// not wait for it), a deep queue to a UDP encoder beside a TCP one, command
// latency with an idle dispatcher to a UDP encoder beside a TCP one, and a
// deep queue of now-playing commands to an encoder that takes UECP and
// acknowledges every frame, whose producer's round trip is measured beside
// that of the copy whose encoder confirms ASCII lines.
void encoderRows(int seconds) {
  progress(
      "starting the copies for the %d s window: confirmed delivery, UDP delivery beside TCP, UECP",
      seconds);
  const int tick = tickMs(4);
  const std::string confirms = "ReplyOk=OK\nReplyError=NO\nReplyTimeoutMs=2000\n";
  auto confirmedSink = std::make_unique<LineSink>("OK\r\n");
  auto unconfirmedSink = std::make_unique<LineSink>("OK\r\n");
  const LineSink& confirmedReplies = *confirmedSink;
  const LineSink& unconfirmedReplies = *unconfirmedSink;
  EncoderCopy confirmed("Confirmed", std::move(confirmedSink), confirms, true);
  EncoderCopy unconfirmed("Unconfirmed", std::move(unconfirmedSink), "", true);
  EncoderCopy udpDeep("UdpDeep", std::make_unique<DatagramSink>(), "Transport=udp\n", false);
  EncoderCopy tcpDeep("TcpDeep", std::make_unique<LineSink>(), "", false);
  KeptLinkProbe udpIdle(std::make_unique<EncoderCopy>("UdpIdle", std::make_unique<DatagramSink>(),
                                                      "Transport=udp\n", false),
                        1);
  KeptLinkProbe tcpIdle(
      std::make_unique<EncoderCopy>("TcpIdle", std::make_unique<LineSink>(), "", false), 2);
  auto uecpSink = std::make_unique<UecpSink>(true);
  const UecpSink& uecpFrames = *uecpSink;
  EncoderCopy uecpDeep("UecpDeep", std::move(uecpSink),
                       "Protocol=uecp\nSiteAddress=1\nEncoderAddress=1\nConfirm=uecp\n"
                       "ReplyTimeoutMs=2000\n",
                       true);

  // Deep enough that no queue runs dry within the window.
  const int depth = 1000 * (seconds + 10) / tick;
  const std::pair<EncoderCopy*, const char*> deep[] = {{&confirmed, "confirmed"},
                                                       {&unconfirmed, "without ReplyOk"},
                                                       {&udpDeep, "UDP"},
                                                       {&tcpDeep, "TCP"}};
  for (const auto& [copy, name] : deep) {
    const int acked = copy->prefill(depth);
    if (acked != depth) {
      notes.push_back(fmt("Encoders, %s: only %d of %d commands queued", name, acked, depth));
    }
  }
  // A title of its own for each, so that every radio text is new.
  const int uecpAcked = uecpDeep.prefill(depth, [](int i) {
    return fmt("RT=Artist - Title of the song %06d\rRTP=4,0,5,1,9,19\r", i);
  });
  if (uecpAcked != depth) {
    notes.push_back(fmt("Encoders, UECP: only %d of %d commands queued", uecpAcked, depth));
  }
  // Every deep queue is past its connect tick.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // The producers' exchanges join the deep queues behind what is there.
  const std::string nowPlaying = "RT=Artist - Title of the song\rRTP=4,0,5,1,9,19\r";
  // The copy whose encoder does not confirm shows how far two copies that
  // take ASCII lines differ by chance.
  AckProbe ackProbe({uecpDeep.varnok->port, confirmed.varnok->port, unconfirmed.varnok->port},
                    nowPlaying, 3);

  progress("measuring for %d s", seconds);
  const TimePoint t0 = SteadyClock::now();
  const TimePoint t1 = t0 + std::chrono::seconds(seconds);
  udpIdle.start(t1);
  tcpIdle.start(t1);
  ackProbe.start(t1);
  std::vector<double> lateness;
  for (TimePoint next = t0 + std::chrono::milliseconds(tick); next <= t1;
       next += std::chrono::milliseconds(tick)) {
    std::this_thread::sleep_until(next);
    lateness.push_back(msBetween(next, SteadyClock::now()));
  }
  std::this_thread::sleep_until(t1);
  std::sort(lateness.begin(), lateness.end());
  udpIdle.join();
  tcpIdle.join();
  ackProbe.join();
  const double window = std::chrono::duration<double>(t1 - t0).count();
  const auto ranDry = [&](EncoderCopy& copy) {
    return copy.sink->arrivals().times().size() >= static_cast<std::size_t>(depth);
  };

  // Confirmed delivery. With one command per tick and a reply that comes
  // back within a fraction of a millisecond, the confirmed encoder should
  // take every tick as the other one does; a reply that missed its tick
  // would cost a whole tick, so 1.05x of the time per command is about one
  // missed tick in twenty commands.
  const Pace c = paceOf(confirmed.sink->arrivals().times(), t0, t1);
  const Pace u = paceOf(unconfirmed.sink->arrivals().times(), t0, t1);
  const auto confirmsC = confirmed.encoderMetric("varnok_encoder_confirms");
  const auto confirmsU = unconfirmed.encoderMetric("varnok_encoder_confirms");
  const auto refused = confirmed.encoderMetric("varnok_encoder_commands_refused");
  const double gapRatio = c.meanGapMs > 0 && u.meanGapMs > 0 ? c.meanGapMs / u.meanGapMs : 0;
  const double rateRatio = u.perSecond > 0 ? c.perSecond / u.perSecond : 0;
  std::string cv;
  if (c.perSecond <= 0 || u.perSecond <= 0) {
    cv = "not measured";
  } else if (confirmsC.value_or(-1) != 1 || confirmsU.value_or(-1) != 0) {
    cv = fmt("not valid: varnok_encoder_confirms %g with ReplyOk, %g without",
             confirmsC.value_or(-1), confirmsU.value_or(-1));
  } else {
    cv = verdict(gapRatio, 1.05, true);
  }
  if (refused.value_or(0) > 0) cv += fmt(" (%g refused)", *refused);
  if (ranDry(confirmed) || ranDry(unconfirmed)) cv += " (queue ran dry)";
  rows.push_back(
      {"Confirmed delivery (ReplyOk=OK; the stand-in answers OK as soon as it has read the "
       "command), deep queue, Threads 4, one encoder",
       fmt("%s; %.3f ms per command", paceText(c, window).c_str(), c.meanGapMs),
       fmt("the same encoder without ReplyOk: %s; %.3f ms per command", paceText(u, window).c_str(),
           u.meanGapMs),
       fmt("time per command %.3fx (rate %.3fx)", gapRatio, rateRatio), "time per command <= 1.05x",
       cv});
  // The price of waiting, against a loopback round trip measured in the
  // same window: a producer's command and its acknowledgement.
  std::vector<double> roundTrips = udpIdle.acks();
  roundTrips.insert(roundTrips.end(), tcpIdle.acks().begin(), tcpIdle.acks().end());
  std::sort(roundTrips.begin(), roundTrips.end());
  const double roundTripUs = percentile(roundTrips, 50);
  const double priceUs = (c.meanGapMs - u.meanGapMs) * 1000;
  // Each piece stays within fmt's buffer.
  notes.push_back(
      fmt("Confirmed delivery (a tick of %d ms at Threads 4), from one command's arrival at the "
          "stand-in to the next one's: with ReplyOk ",
          tick) +
      gapText(c, tick) + "; without " + gapText(u, tick) +
      fmt(". Waiting for the reply cost %+.1f us per command, %+.2f round trips (a loopback "
          "round trip, a producer's command and its acknowledgement in the latency row below, "
          "took p50 %.0f us). ",
          priceUs, roundTripUs > 0 ? priceUs / roundTripUs : 0, roundTripUs) +
      fmt("Since start the stand-ins answered %" PRIu64 " and %" PRIu64 " lines (%" PRIu64
          " replies not sent); /metrics: varnok_encoder_confirms %g with ReplyOk and %g without, "
          "%g commands refused.",
          confirmedReplies.replies(), unconfirmedReplies.replies(),
          confirmedReplies.repliesNotSent() + unconfirmedReplies.repliesNotSent(),
          confirmsC.value_or(-1), confirmsU.value_or(-1), refused.value_or(-1)));

  // UDP beside TCP, deep queue: one datagram or one write per tick alike,
  // so UDP is held to the margin the sustained rows allow against the cap.
  const Pace ud = paceOf(udpDeep.sink->arrivals().times(), t0, t1);
  const Pace td = paceOf(tcpDeep.sink->arrivals().times(), t0, t1);
  const double udpRatio = td.perSecond > 0 ? ud.perSecond / td.perSecond : 0;
  std::string uv = ud.perSecond > 0 && td.perSecond > 0 ? verdict(udpRatio, 0.98, false)
                                                        : std::string("not measured");
  if (ranDry(udpDeep) || ranDry(tcpDeep)) uv += " (queue ran dry)";
  rows.push_back(
      {"UDP delivery (Transport=udp, one datagram per command), deep queue, Threads 4, "
       "one encoder",
       paceText(ud, window),
       fmt("TCP encoder that keeps its connection: %s", paceText(td, window).c_str()),
       fmt("%.3fx", udpRatio), ">= 0.98x", uv});
  notes.push_back(fmt("UDP delivery, from one command's arrival to the next one's: UDP %s; TCP %s.",
                      gapText(ud, tick).c_str(), gapText(td, tick).c_str()));

  // UDP beside TCP, idle dispatcher: both wait for the next send tick.
  const auto& us = udpIdle.samples();
  const auto& ts = tcpIdle.samples();
  std::string lv = us.empty() || ts.empty() ? "not measured" : "measured";
  if (udpIdle.lost() + tcpIdle.lost() > 0) {
    lv +=
        fmt(" (%d UDP, %d TCP commands not delivered within 2 s)", udpIdle.lost(), tcpIdle.lost());
  }
  rows.push_back(
      {"UDP command latency (write to the datagram's arrival), idle dispatcher, Threads 4, one "
       "encoder",
       fmt("p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)", percentile(us, 50), percentile(us, 99),
           percentile(us, 100), us.size()),
       fmt("TCP encoder that keeps its connection: p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)",
           percentile(ts, 50), percentile(ts, 99), percentile(ts, 100), ts.size()),
       fmt("p50 %.2fx, p99 %.2fx",
           percentile(ts, 50) > 0 ? percentile(us, 50) / percentile(ts, 50) : 0,
           percentile(ts, 99) > 0 ? percentile(us, 99) / percentile(ts, 99) : 0),
       "none set", lv});
  notes.push_back(
      fmt("UDP and TCP command latency (a tick of %d ms at Threads 4): the link stays up, so each "
          "command waits only for its copy's next send tick, at most one tick; the two copies "
          "tick on their own. ",
          tick) +
      fmt("The producer's acknowledgement took p50 %.0f us, p99 %.0f us (UDP copy) and p50 %.0f "
          "us, p99 %.0f us (TCP copy). ",
          percentile(udpIdle.acks(), 50), percentile(udpIdle.acks(), 99),
          percentile(tcpIdle.acks(), 50), percentile(tcpIdle.acks(), 99)) +
      fmt("During the %.0f s window a plain %d ms sleep of the driver woke up late by p50 %.2f, "
          "p99 %.2f, max %.2f ms (n=%zu).",
          window, tick, percentile(lateness, 50), percentile(lateness, 99),
          percentile(lateness, 100), lateness.size()));

  // The producer's round trip while the encoder takes UECP, beside the copy
  // whose encoder confirms ASCII lines. Both copies deliver one command per
  // tick throughout; the UECP one turns each into two framed elements and
  // waits for the acknowledgement of each. The row counts only when the
  // UECP copy kept its pace, its stand-in read no faulty frame and its
  // /metrics shows that it confirmed and lost nothing.
  const std::vector<double>& ur = ackProbe.roundTrips(0);
  const std::vector<double>& ar = ackProbe.roundTrips(1);
  const std::vector<double>& nr = ackProbe.roundTrips(2);
  const Pace up = paceOf(uecpDeep.sink->arrivals().times(), t0, t1);
  const auto confirmsUecp = uecpDeep.encoderMetric("varnok_encoder_confirms");
  const auto refusedUecp = uecpDeep.encoderMetric("varnok_encoder_commands_refused");
  const auto failedUecp = metricSample(uecpDeep.httpPort, "varnok_commands_failed_total");
  const double u50 = percentile(ur, 50), u99 = percentile(ur, 99);
  const double a50 = percentile(ar, 50), a99 = percentile(ar, 99);
  const double r50 = a50 > 0 ? u50 / a50 : 0, r99 = a99 > 0 ? u99 / a99 : 0;
  constexpr double kNoise50 = 1.10, kNoise99 = 1.25;
  std::string rv;
  if (ur.empty() || ar.empty()) {
    rv = "not measured";
  } else if (up.perSecond < 0.98 * c.perSecond || uecpFrames.faults() > 0 ||
             confirmsUecp.value_or(-1) != 1 || refusedUecp.value_or(-1) != 0 ||
             failedUecp.value_or(-1) != 0) {
    rv = fmt("not valid: UECP %.2f radio texts/s beside %.2f/s, %" PRIu64
             " faulty frames, /metrics confirms %g, refused %g, failed %g",
             up.perSecond, c.perSecond, uecpFrames.faults(), confirmsUecp.value_or(-1),
             refusedUecp.value_or(-1), failedUecp.value_or(-1));
  } else if (r50 <= kNoise50 && r99 <= kNoise99) {
    rv = "met";
  } else {
    if (r50 > kNoise50) rv += "p50 " + verdict(r50, kNoise50, true);
    if (r99 > kNoise99)
      rv += std::string(rv.empty() ? "" : "; ") + "p99 " + verdict(r99, kNoise99, true);
  }
  if (ackProbe.lost(0) + ackProbe.lost(1) + ackProbe.lost(2) > 0) {
    rv += fmt(" (%d UECP, %d ASCII exchanges failed)", ackProbe.lost(0),
              ackProbe.lost(1) + ackProbe.lost(2));
  }
  if (ranDry(uecpDeep)) rv += " (queue ran dry)";
  rows.push_back(
      {"Acknowledgement round trip of a producer while the encoder takes UECP (Protocol=uecp, "
       "Confirm=uecp: two framed elements per now-playing command, each acknowledged), deep "
       "queue, Threads 4, one encoder",
       fmt("p50 %.1f us, p99 %.1f us (n=%zu)", u50, u99, ur.size()),
       fmt("the copy whose encoder confirms ASCII lines (ReplyOk=OK), same window: p50 %.1f us, "
           "p99 %.1f us (n=%zu)",
           a50, a99, ar.size()),
       fmt("p50 %.2fx, p99 %.2fx", r50, r99),
       fmt("unchanged within noise: p50 <= %.2fx, p99 <= %.2fx", kNoise50, kNoise99), rv});
  notes.push_back(
      fmt("UECP beside ASCII (a tick of %d ms at Threads 4): each producer sent `RT=Artist - "
          "Title of the song\\rRTP=4,0,5,1,9,19\\r` after a random pause of 1 to 3 ms, one "
          "exchange with each copy per round in rotating order; both copies were delivering "
          "one command per tick from their deep queue meanwhile. ",
          tick) +
      fmt("For the noise between two copies alike, the copy whose encoder takes the same ASCII "
          "lines without ReplyOk took p50 %.1f us, p99 %.1f us (n=%zu) in the same rounds: "
          "p50 %.2fx, p99 %.2fx of the one with ReplyOk. ",
          percentile(nr, 50), percentile(nr, 99), nr.size(), a50 > 0 ? percentile(nr, 50) / a50 : 0,
          a99 > 0 ? percentile(nr, 99) / a99 : 0) +
      fmt("UECP delivery, from one radio text's arrival to the next one's: %s; ASCII with "
          "ReplyOk: %s. ",
          gapText(up, tick).c_str(), gapText(c, tick).c_str()) +
      fmt("Since start the UECP stand-in read %" PRIu64 " frames (%" PRIu64
          " faulty) and acknowledged %" PRIu64 "; /metrics: varnok_encoder_confirms %g, ",
          uecpFrames.frames(), uecpFrames.faults(), uecpFrames.acknowledged(),
          confirmsUecp.value_or(-1)) +
      fmt("varnok_encoder_commands_refused %g, varnok_commands_failed_total %g.",
          refusedUecp.value_or(-1), failedUecp.value_or(-1)));
  progress("closing the copies of the encoder rows");
}

// ---- Now playing through the UDP door ---------------------------------------

// A UDP socket bound to 127.0.0.1 with a port of the system's choosing.
Fd bindUdpLoopback(std::uint16_t& port) {
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback(0);
  socklen_t length = sizeof a;
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    throw std::runtime_error(std::string("UDP on loopback: ") + std::strerror(errno));
  }
  port = ntohs(a.sin_port);
  return fd;
}

// A UDP port on 127.0.0.1 that was free a moment ago (bound, then released).
std::uint16_t freeUdpPort() {
  std::uint16_t port = 0;
  bindUdpLoopback(port);
  return port;
}

// Datagrams to 127.0.0.1:port from a socket of its own. Over the loopback a
// send never waits for the receiver: a datagram that finds its receive
// buffer full is dropped there (see udpDrops).
class DatagramSender {
 public:
  explicit DatagramSender(std::uint16_t port) {
    fd_ = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = loopback(port);
    if (!fd_.valid() ||
        connect(fd_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      throw std::runtime_error(std::string("UDP sender: ") + std::strerror(errno));
    }
  }
  bool send(const std::string& datagram) const {
    return ::send(fd_.get(), datagram.data(), datagram.size(), 0) ==
           static_cast<ssize_t>(datagram.size());
  }

 private:
  Fd fd_;
};

// A minimal receiver of datagrams on 127.0.0.1: a thread of its own reads
// each and throws it away, counting them. The yardstick for what a flood
// of datagrams costs the machine, whoever takes them.
class DatagramDrain {
 public:
  DatagramDrain() : socket_(bindUdpLoopback(port_)) {
    thread_ = std::thread([this] { run(); });
  }
  ~DatagramDrain() {
    stop_ = true;
    thread_.join();
  }
  DatagramDrain(const DatagramDrain&) = delete;
  DatagramDrain& operator=(const DatagramDrain&) = delete;

  std::uint16_t port() const { return port_; }
  std::uint64_t taken() const { return taken_; }

 private:
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    char buffer[65536];
    while (!stop_) {
      pollfd p{socket_.get(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      while (recv(socket_.get(), buffer, sizeof buffer, 0) >= 0) ++taken_;
    }
  }

  std::uint16_t port_ = 0;
  Fd socket_;
  std::atomic<std::uint64_t> taken_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The datagrams the kernel dropped for the UDP socket bound to
// 127.0.0.1:port because its receive buffer was full (the last column of
// /proc/net/udp); nullopt when there is no such socket.
std::optional<std::uint64_t> udpDrops(std::uint16_t port) {
  std::ifstream in("/proc/net/udp");
  const std::string local = fmt("0100007F:%04X", static_cast<unsigned>(port));
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, address, field, last;
    fields >> slot >> address;
    if (address != local) continue;
    while (fields >> field) last = field;
    return std::stoull(last);
  }
  return std::nullopt;
}

// The context switches of a process so far, summed over its threads:
// voluntary (it waited for something) and involuntary (it was preempted),
// from /proc/PID/task/TID/status.
struct ContextSwitches {
  std::uint64_t voluntary = 0;
  std::uint64_t involuntary = 0;
};
ContextSwitches contextSwitches(pid_t pid) {
  ContextSwitches out;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        out.voluntary += std::stoull(line.substr(line.find(':') + 1));
      } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        out.involuntary += std::stoull(line.substr(line.find(':') + 1));
      }
    }
  }
  return out;
}

// CPU time in nanoseconds that a process had between two readings of
// threadCpu, counted per thread as cpuNanosecondsSince does.
std::uint64_t cpuBetween(const ThreadCpu& before, const ThreadCpu& after) {
  std::uint64_t total = 0;
  for (const auto& [tid, ns] : after) {
    const auto was = before.find(tid);
    const std::uint64_t start = was == before.end() ? 0 : was->second;
    if (ns > start) total += ns - start;
  }
  return total;
}

// A copy at Threads 4 whose encoder keeps its connection and has
// NowPlaying1=RT1=%RT%\r, with the UDP door open on a port chosen here and
// a status page for its /metrics; nowPlayingKeys are more keys of its
// [NowPlaying] section.
std::unique_ptr<EncoderCopy> udpDoorCopy(const std::string& name, std::uint16_t udpPort,
                                         const std::string& nowPlayingKeys) {
  auto copy = std::make_unique<EncoderCopy>(name, std::make_unique<LineSink>(),
                                            "NowPlaying1=RT1=%RT%\\r\n[NowPlaying]\nUdpPort=" +
                                                std::to_string(udpPort) + "\n" + nowPlayingKeys,
                                            true);
  if (!copy->varnok->child->waitFor(
          "Now playing taken over UDP at 127.0.0.1:" + std::to_string(udpPort), 10000)) {
    throw std::runtime_error(name + ": the UDP door did not open; output:\n" +
                             copy->varnok->child->output());
  }
  return copy;
}

// A now-playing item sent as one datagram ("Artist N - Title N", FileFormat
// line) beside a producer sending the command it renders to,
// "RT1=Artist N - Title N\r", over its connection; each timed from just
// before the send or the write to the arrival of the command at the
// encoder, and each waits for that arrival. Rounds as in the now-playing
// rows: both ways of a round start after the same random pause (1 ms to
// 1 ms + a tick) after the last arrival, which comes right after a tick, so
// the wait for the dispatch tick falls alike on both and over the rounds
// anywhere within the tick. The pause is counted from the moment the
// arrival was read, not from when this thread learnt of it.
class UdpItemProbe {
 public:
  UdpItemProbe()
      : udpPort_(freeUdpPort()), copy_(udpDoorCopy("UdpDoor", udpPort_, "")), sender_(udpPort_) {
    producer_ = connectLoopback(copy_->varnok->port, 2000);
    const int one = 1;
    setsockopt(producer_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Arrivals& arrivals = copy_->sink->arrivals();
    const bool warm = produce(producer_.get(), "RT1=Warm\r", 2000) &&
                      arrivals.arrival("RT1=Warm", 5000) && sender_.send("Warm - Up");
    const auto arrived = warm ? arrivals.arrival("RT1=Warm - Up", 2000) : std::nullopt;
    if (!arrived) {
      throw std::runtime_error("UDP door: the first command or item did not arrive; output:\n" +
                               copy_->varnok->child->output());
    }
    last_ = *arrived;
  }
  // Until end, in this thread.
  void run(TimePoint end) {
    const int tick = tickMs(4);
    std::mt19937 random(21);
    std::uniform_int_distribution<int> pauseUs(1000, 1000 + tick * 1000);
    const auto longest = std::chrono::milliseconds(4 * tick + 4);
    for (int round = 0; lost_ < 5; ++round) {
      if (SteadyClock::now() + longest > end) break;
      const auto pause = std::chrono::microseconds(pauseUs(random));
      for (int way = 0; way < 2; ++way) {
        std::this_thread::sleep_until(last_ + pause);
        const int n = 2 * round + way;
        if ((way + round) % 2 == 0) {
          viaUdp(n);
        } else {
          direct(n);
        }
      }
    }
    for (auto* v : {&udp_, &direct_, &ack_}) std::sort(v->begin(), v->end());
  }
  // Sorted once run() has ended: milliseconds to the arrival each way, and
  // microseconds to the producer's acknowledgement.
  const std::vector<double>& udp() const { return udp_; }
  const std::vector<double>& direct() const { return direct_; }
  const std::vector<double>& ack() const { return ack_; }
  int lost() const { return lost_; }
  std::size_t sent() const { return sent_; }
  const EncoderCopy& copy() const { return *copy_; }

 private:
  static std::string item(int n) { return fmt("Artist %d - Title %d", n, n); }
  void lose() {
    ++lost_;
    last_ = SteadyClock::now();
  }
  void viaUdp(int n) {
    const std::string datagram = item(n);
    const TimePoint t0 = SteadyClock::now();
    if (!sender_.send(datagram)) return lose();
    ++sent_;
    const auto arrived = copy_->sink->arrivals().arrival("RT1=" + datagram, 2000);
    if (!arrived) return lose();
    last_ = *arrived;
    udp_.push_back(msBetween(t0, *arrived));
  }
  void direct(int n) {
    const std::string command = "RT1=" + item(n);
    const TimePoint t0 = SteadyClock::now();
    if (!produce(producer_.get(), command + "\r", 2000)) return lose();
    const TimePoint acked = SteadyClock::now();
    const auto arrived = copy_->sink->arrivals().arrival(command, 2000);
    if (!arrived) return lose();
    last_ = *arrived;
    direct_.push_back(msBetween(t0, *arrived));
    ack_.push_back(usBetween(t0, acked));
  }

  std::uint16_t udpPort_;
  std::unique_ptr<EncoderCopy> copy_;
  DatagramSender sender_;
  Fd producer_;
  TimePoint last_;  // the last arrival
  std::vector<double> udp_, direct_, ack_;
  std::size_t sent_ = 0;
  int lost_ = 0;
};

// "p50 1.02x, p99 1.01x" against one limit for both; the verdict text.
std::string bothWithin(double r50, double r99, double limit50, double limit99) {
  if (r50 <= limit50 && r99 <= limit99) return "met";
  std::string v;
  if (r50 > limit50) v += "p50 " + verdict(r50, limit50, true);
  if (r99 > limit99) v += std::string(v.empty() ? "" : "; ") + "p99 " + verdict(r99, limit99, true);
  return v;
}

void udpItemRow(int seconds) {
  progress("now playing over UDP beside a producer, %d s", seconds);
  UdpItemProbe probe;
  const TimePoint t0 = SteadyClock::now();
  probe.run(t0 + std::chrono::seconds(seconds));
  const double window = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  const auto& u = probe.udp();
  const auto& d = probe.direct();
  const double u50 = percentile(u, 50), u99 = percentile(u, 99);
  const double d50 = percentile(d, 50), d99 = percentile(d, 99);
  const double r50 = d50 > 0 ? u50 / d50 : 0, r99 = d99 > 0 ? u99 / d99 : 0;
  constexpr double kLimit = 1.1;
  std::string v = u.empty() || d.empty() ? "not measured" : bothWithin(r50, r99, kLimit, kLimit);
  if (probe.lost() > 0) v += fmt(" (%d lost)", probe.lost());
  const int tick = tickMs(4);
  rows.push_back(
      {"Now-playing item over UDP (one datagram `Artist N - Title N`, FileFormat line) to the "
       "command at the encoder (`RT1=Artist N - Title N\\r`), Threads 4, one encoder",
       fmt("p50 %.1f ms, p99 %.1f ms, max %.1f ms (n=%zu)", u50, u99, percentile(u, 100), u.size()),
       fmt("producer sending the same command over TCP: p50 %.1f ms, p99 %.1f ms, max %.1f ms "
           "(n=%zu)",
           d50, d99, percentile(d, 100), d.size()),
       fmt("p50 %.2fx, p99 %.2fx", r50, r99), fmt("p50 <= %.1fx, p99 <= %.1fx", kLimit, kLimit),
       v});
  const auto udpUpdates =
      metricSample(probe.copy().httpPort, "varnok_nowplaying_updates_total{source=\"udp\"}");
  notes.push_back(
      fmt("Now playing over UDP (a tick of %d ms at Threads 4, %.0f s): both ways wait for the "
          "copy's next dispatch tick, one command per tick, which is most of either figure; the "
          "rounds put the send anywhere within the tick, the same moment for both ways of a "
          "round. ",
          tick, window) +
      fmt("The producer's acknowledgement took p50 %.0f us, p99 %.0f us; a datagram has no "
          "answer. /metrics: varnok_nowplaying_updates_total{source=\"udp\"} %g for the %zu "
          "datagrams sent (with the one before the rounds).",
          percentile(probe.ack(), 50), percentile(probe.ack(), 99), udpUpdates.value_or(-1),
          probe.sent() + 1));
}

// One copy whose UDP door takes JSON items, with a category that Skip=
// leaves off the air, and a producer that measures its acknowledgement
// round trip throughout, one exchange after a random pause of 1 to 3 ms.
// Phases of kPhaseMs in a cycle of eight, each kind twice, before and after
// the others: the copy flooded at kRate with such items (skipped, each with
// a log line); quiet; flooded with items that carry none of the configured
// fields (refused as unreadable: read and parsed alike, but logged once,
// then once a minute); and the same flood sent to a minimal receiver in
// the driver instead (DatagramDrain), for what the datagrams cost the
// machine whoever takes them. The first kGuardMs of every phase are left
// out, so no exchange straddles a switch. The copy delivers the producer's
// commands meanwhile, one per tick.
class SkipFloodProbe {
 public:
  static constexpr double kRate = 10000;  // datagrams a second while flooding
  static constexpr int kPhaseMs = 1000;
  static constexpr int kGuardMs = 50;
  enum Kind { Skipped, Quiet, Refused, Elsewhere, kKinds };
  static constexpr Kind kCycle[] = {Skipped,   Quiet,   Refused, Elsewhere,
                                    Elsewhere, Refused, Quiet,   Skipped};
  static constexpr int kCycleLength = 8;

  // What the phases of one kind gave.
  struct Phases {
    std::vector<double> us;  // the round trips, sorted once run() has ended
    double seconds = 0;
    double cpuNs = 0;  // the copy's
    // The copy's context switches: waits, and preemptions.
    std::uint64_t voluntary = 0, involuntary = 0;
  };

  SkipFloodProbe()
      : udpPort_(freeUdpPort()),
        copy_(
            udpDoorCopy("SkipFlood", udpPort_, "FileFormat=json\nCategoryKey=type\nSkip=jingle\n")),
        sender_(udpPort_),
        elsewhere_(drain_.port()) {
    producer_ = connectLoopback(copy_->varnok->port, 2000);
    const int one = 1;
    setsockopt(producer_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A song goes on air, a jingle is skipped: the door and the rule work.
    Arrivals& arrivals = copy_->sink->arrivals();
    if (!produce(producer_.get(), kCommand, 2000) ||
        !sender_.send(R"({"artist":"A","title":"Song","type":"music"})") ||
        !arrivals.arrival("RT1=A - Song", 5000) || !sender_.send(item(Skipped, 0))) {
      throw std::runtime_error("skip flood: the producer or the song did not get through");
    }
    for (int i = 0; i < 100 && skipped().value_or(0) < 1; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (skipped().value_or(0) != 1) {
      throw std::runtime_error("skip flood: the first jingle was not skipped; output:\n" +
                               copy_->varnok->child->output());
    }
  }

  static Kind kindOf(int phase) { return kCycle[phase % kCycleLength]; }

  // phases of kPhaseMs from now, in this thread.
  void run(int phases) {
    const TimePoint t0 = SteadyClock::now() + std::chrono::milliseconds(100);
    const TimePoint t1 = t0 + std::chrono::milliseconds(phases * kPhaseMs);
    const pid_t pid = copy_->varnok->child->pid();
    skippedBefore_ = skipped().value_or(-1);
    dropsBefore_ = udpDrops(udpPort_).value_or(0);
    linesBefore_ = countOf(copy_->varnok->child->output(), kSkippedLine);
    std::thread flood([&] { floodPhases(t0, phases); });
    std::thread probe([&] { measure(t0, t1); });
    // The copy's CPU time in each phase.
    std::this_thread::sleep_until(t0);
    ThreadCpu at = threadCpu(pid);
    ContextSwitches switchesAt = contextSwitches(pid);
    for (int phase = 0; phase < phases; ++phase) {
      std::this_thread::sleep_until(t0 + std::chrono::milliseconds((phase + 1) * kPhaseMs));
      ThreadCpu next = threadCpu(pid);
      const ContextSwitches switches = contextSwitches(pid);
      Phases& p = kinds_[kindOf(phase)];
      p.cpuNs += static_cast<double>(cpuBetween(at, next));
      p.seconds += kPhaseMs / 1000.0;
      p.voluntary += switches.voluntary - switchesAt.voluntary;
      p.involuntary += switches.involuntary - switchesAt.involuntary;
      switchesAt = switches;
      at = std::move(next);
    }
    flood.join();
    probe.join();
    // What is still in the socket's buffer is taken within a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    skippedAfter_ = skipped().value_or(-1);
    dropsAfter_ = udpDrops(udpPort_).value_or(0);
    linesAfter_ = countOf(copy_->varnok->child->output(), kSkippedLine);
    for (Phases& p : kinds_) std::sort(p.us.begin(), p.us.end());
    for (auto* v : {&quietA_, &quietB_}) std::sort(v->begin(), v->end());
  }

  // Then: jingles as fast as one thread sends them for the given time.
  struct Burst {
    double sentPerSecond = 0;
    double skippedPerSecond = 0;
    std::uint64_t drops = 0;
    double cpuShare = 0;  // of one core
  };
  Burst burst(int ms) {
    const pid_t pid = copy_->varnok->child->pid();
    const double before = skipped().value_or(0);
    const std::uint64_t drops = udpDrops(udpPort_).value_or(0);
    const ThreadCpu cpu = threadCpu(pid);
    const TimePoint t0 = SteadyClock::now();
    const TimePoint t1 = t0 + std::chrono::milliseconds(ms);
    std::uint64_t sent = 0;
    while (SteadyClock::now() < t1) {
      for (int i = 0; i < 64; ++i) sent += sender_.send(item(Skipped, next_++)) ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    Burst b;
    b.cpuShare = static_cast<double>(cpuNanosecondsSince(pid, cpu)) / (seconds * 1e9);
    b.skippedPerSecond = (skipped().value_or(0) - before) / seconds;
    b.sentPerSecond = static_cast<double>(sent) / seconds;
    b.drops = udpDrops(udpPort_).value_or(0) - drops;
    return b;
  }

  const Phases& phases(Kind kind) const { return kinds_[kind]; }
  std::uint64_t sent(Kind kind) const { return sent_[kind]; }
  std::uint64_t drained() const { return drain_.taken(); }
  // The quiet phases split in two, by their place in the cycle, for the
  // noise between two sets alike.
  const std::vector<double>& quietA() const { return quietA_; }
  const std::vector<double>& quietB() const { return quietB_; }
  int lost() const { return lost_; }
  double skippedInWindow() const { return skippedAfter_ - skippedBefore_; }
  std::uint64_t dropsInWindow() const { return dropsAfter_ - dropsBefore_; }
  std::size_t linesInWindow() const { return linesAfter_ - linesBefore_; }
  std::optional<double> skipped() const {
    return metricSample(copy_->httpPort, "varnok_nowplaying_skipped_total");
  }
  // "skipped" of "nowPlaying" in /status, as the page has it.
  std::optional<std::string> statusSkipped() const {
    Fd fd = connectLoopback(copy_->httpPort, 1000);
    const std::string request =
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (!fd.valid() || !sendAll(fd.get(), request.data(), request.size(), 1000)) return {};
    const std::string page = readToEnd(fd.get(), 1000);
    const std::size_t np = page.find("\"nowPlaying\":{");
    if (np == std::string::npos) return {};
    const std::size_t at = page.find("\"skipped\":", np);
    if (at == std::string::npos) return {};
    return page.substr(at + 10, page.find_first_of(",}", at + 10) - at - 10);
  }
  std::string output() const { return copy_->varnok->child->output(); }

 private:
  static constexpr char kCommand[] = "RT\r";
  static constexpr char kSkippedLine[] = "Now playing skipped - jingle: Jingle ";

  // About the same bytes either way: a jingle, or an item whose members the
  // configured keys do not name.
  static std::string item(Kind kind, std::uint64_t n) {
    return kind != Refused
               ? fmt(R"({"artist":"A","title":"Jingle %)" PRIu64 R"(","type":"jingle"})", n)
               : fmt(R"({"artisT":"A","titlE":"Jingle %)" PRIu64 R"(","typE":"jingle"})", n);
  }
  // In every flooded phase, each millisecond the datagrams due by then.
  void floodPhases(TimePoint t0, int phases) {
    for (int phase = 0; phase < phases; ++phase) {
      const Kind kind = kindOf(phase);
      if (kind == Quiet) continue;
      const TimePoint start = t0 + std::chrono::milliseconds(phase * kPhaseMs);
      const TimePoint end = start + std::chrono::milliseconds(kPhaseMs);
      const auto total = static_cast<std::uint64_t>(kRate * kPhaseMs / 1000);
      std::uint64_t sentHere = 0;
      for (TimePoint tick = start; tick < end; tick += std::chrono::milliseconds(1)) {
        std::this_thread::sleep_until(tick);
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const auto due = std::min(total, static_cast<std::uint64_t>(elapsed * kRate) + 1);
        const DatagramSender& to = kind == Elsewhere ? elsewhere_ : sender_;
        for (; sentHere < due; ++sentHere) {
          if (to.send(item(kind, next_++))) ++sent_[kind];
        }
      }
    }
  }
  void measure(TimePoint t0, TimePoint t1) {
    std::mt19937 random(31);
    std::uniform_int_distribution<int> pauseUs(1000, 3000);
    std::this_thread::sleep_until(t0);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
      const TimePoint start = SteadyClock::now();
      if (start >= t1) break;
      const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(start - t0).count();
      const int phase = static_cast<int>(since / kPhaseMs);
      const bool guard = since % kPhaseMs < kGuardMs;
      if (!produce(producer_.get(), kCommand, 2000)) {
        if (++lost_ >= 5) break;
        continue;
      }
      const TimePoint done = SteadyClock::now();
      // Only exchanges wholly within one phase, past its guard.
      if (guard || done >= t0 + std::chrono::milliseconds((phase + 1) * kPhaseMs)) continue;
      const double us = usBetween(start, done);
      kinds_[kindOf(phase)].us.push_back(us);
      if (kindOf(phase) == Quiet) (phase % kCycleLength == 1 ? quietA_ : quietB_).push_back(us);
    }
  }

  std::uint16_t udpPort_;
  std::unique_ptr<EncoderCopy> copy_;
  DatagramSender sender_;
  DatagramDrain drain_;
  DatagramSender elsewhere_;
  Fd producer_;
  std::uint64_t next_ = 1;
  std::array<std::uint64_t, kKinds> sent_{};  // by the flood thread, read after it ended
  std::array<Phases, kKinds> kinds_;
  std::vector<double> quietA_, quietB_;
  int lost_ = 0;
  double skippedBefore_ = 0, skippedAfter_ = 0;
  std::uint64_t dropsBefore_ = 0, dropsAfter_ = 0;
  std::size_t linesBefore_ = 0, linesAfter_ = 0;
};

void skipFloodRow(int seconds) {
  using Probe = SkipFloodProbe;
  const int cycles = std::max(
      1, (seconds * 1000 / Probe::kPhaseMs + Probe::kCycleLength / 2) / Probe::kCycleLength);
  const int phases = cycles * Probe::kCycleLength;
  progress(
      "10,000 skipped items a second beside a producer's round trip, %d phases of %d ms "
      "(skipped, quiet, refused, elsewhere)",
      phases, Probe::kPhaseMs);
  Probe probe;
  probe.run(phases);
  const Probe::Phases& s = probe.phases(Probe::Skipped);
  const Probe::Phases& q = probe.phases(Probe::Quiet);
  const Probe::Phases& r = probe.phases(Probe::Refused);
  const double s50 = percentile(s.us, 50), s99 = percentile(s.us, 99);
  const double q50 = percentile(q.us, 50), q99 = percentile(q.us, 99);
  const double r50 = percentile(r.us, 50), r99 = percentile(r.us, 99);
  const Probe::Phases& e = probe.phases(Probe::Elsewhere);
  const double e50 = percentile(e.us, 50), e99 = percentile(e.us, 99);
  const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
  const auto perSecond = [](std::uint64_t n, double seconds) {
    return seconds > 0 ? static_cast<double>(n) / seconds : 0;
  };
  const double sentRate = static_cast<double>(probe.sent(Probe::Skipped)) / s.seconds;
  const double skippedRate = probe.skippedInWindow() / s.seconds;
  constexpr double kNoise50 = 1.10, kNoise99 = 1.25;
  const double wanted = 0.98 * Probe::kRate;
  std::string v;
  if (s.us.empty() || q.us.empty()) {
    v = "not measured";
  } else if (sentRate < wanted || skippedRate < wanted) {
    v = fmt("not valid: %.0f datagrams/s sent, %.0f/s skipped (%" PRIu64
            " dropped by the kernel: the copy did not keep up)",
            sentRate, skippedRate, probe.dropsInWindow());
  } else {
    v = bothWithin(ratio(s50, q50), ratio(s99, q99), kNoise50, kNoise99);
  }
  if (probe.lost() > 0) v += fmt(" (%d exchanges failed)", probe.lost());
  rows.push_back(
      {"Acknowledgement round trip of a producer while the copy skips 10,000 now-playing items "
       "a second over UDP (`{\"artist\":\"A\",\"title\":\"Jingle N\",\"type\":\"jingle\"}`, "
       "FileFormat=json, CategoryKey=type, Skip=jingle; each logged), Threads 4, one encoder",
       fmt("p50 %.1f us, p99 %.1f us (n=%zu); %.0f datagrams/s sent, %.0f/s skipped", s50, s99,
           s.us.size(), sentRate, skippedRate),
       fmt("the same copy in the phases between, without datagrams: p50 %.1f us, p99 %.1f us "
           "(n=%zu)",
           q50, q99, q.us.size()),
       fmt("p50 %.2fx, p99 %.2fx", ratio(s50, q50), ratio(s99, q99)),
       fmt("unchanged within noise: p50 <= %.2fx, p99 <= %.2fx, at >= %.0f skipped/s", kNoise50,
           kNoise99, wanted),
       v});
  const auto& a = probe.quietA();
  const auto& b = probe.quietB();
  const double quietCpu = q.seconds > 0 ? q.cpuNs / q.seconds : 0;  // ns a second
  // The copy's CPU time beyond that of the quiet phases, per datagram.
  const auto perItemUs = [&](const Probe::Phases& p, std::uint64_t items) {
    return items > 0 ? (p.cpuNs - quietCpu * p.seconds) / static_cast<double>(items) / 1000 : 0;
  };
  progress("as fast as one thread sends, 2 s");
  const Probe::Burst burst = probe.burst(2000);
  const std::string out = probe.output();
  const std::optional<std::string> status = probe.statusSkipped();
  notes.push_back(
      fmt("Skipped items (a tick of 22 ms at Threads 4): %d phases of %d ms in cycles of eight "
          "(skipped, quiet, refused, elsewhere, elsewhere, refused, quiet, skipped); in each "
          "flooded phase a thread of the driver sent the datagrams due by each millisecond (10 a "
          "millisecond). Exchanges in the first %d ms of a phase are left out. ",
          phases, Probe::kPhaseMs, Probe::kGuardMs) +
      fmt("In %.0f s of skipped items %" PRIu64
          " datagrams were sent; /metrics varnok_nowplaying_skipped_total grew by %.0f, the log "
          "by %zu lines \"Now playing skipped - jingle: Jingle N (udp)\"; over the whole window "
          "the kernel dropped %" PRIu64 " datagrams for a full receive buffer. ",
          s.seconds, probe.sent(Probe::Skipped), probe.skippedInWindow(), probe.linesInWindow(),
          probe.dropsInWindow()) +
      fmt("The copy used %.1f ms of CPU a second while skipping, %.1f ms while refusing and "
          "%.1f ms in the quiet phases (which deliver one command per tick and answer the "
          "producer): %.1f us per skipped item, %.1f us per refused one. ",
          s.seconds > 0 ? s.cpuNs / s.seconds / 1e6 : 0,
          r.seconds > 0 ? r.cpuNs / r.seconds / 1e6 : 0, quietCpu / 1e6,
          perItemUs(s, probe.sent(Probe::Skipped)), perItemUs(r, probe.sent(Probe::Refused))) +
      fmt("Its thread was preempted %.0f times a second while skipping, %.0f while refusing, "
          "%.0f when quiet, and waited (slept or blocked) %.0f, %.0f and %.0f times a second. ",
          perSecond(s.involuntary, s.seconds), perSecond(r.involuntary, r.seconds),
          perSecond(q.involuntary, q.seconds), perSecond(s.voluntary, s.seconds),
          perSecond(r.voluntary, r.seconds), perSecond(q.voluntary, q.seconds)) +
      fmt("Refused items (`{\"artisT\":\"A\",\"titlE\":\"Jingle N\",\"typE\":\"jingle\"}`, "
          "%.0f/s sent, parsed but without a log line each): p50 %.1f us, p99 %.1f us "
          "(n=%zu), p50 %.2fx, p99 %.2fx of the quiet phases. ",
          r.seconds > 0 ? static_cast<double>(probe.sent(Probe::Refused)) / r.seconds : 0, r50, r99,
          r.us.size(), ratio(r50, q50), ratio(r99, q99)) +
      fmt("The same jingles sent to a minimal receiver in the driver instead (a thread that reads "
          "and discards them; %.0f/s taken), the copy quiet: p50 %.1f us, p99 %.1f us (n=%zu), "
          "p50 %.2fx, p99 %.2fx of the quiet phases. ",
          e.seconds > 0 ? static_cast<double>(probe.drained()) / e.seconds : 0, e50, e99,
          e.us.size(), ratio(e50, q50), ratio(e99, q99)) +
      fmt("For the noise between two sets of phases alike, the quiet phases after a skipping one "
          "gave p50 %.1f us, p99 %.1f us (n=%zu), those after a refusing one p50 %.1f us, p99 "
          "%.1f us (n=%zu): p50 %.2fx, p99 %.2fx. ",
          percentile(a, 50), percentile(a, 99), a.size(), percentile(b, 50), percentile(b, 99),
          b.size(), ratio(percentile(a, 50), percentile(b, 50)),
          ratio(percentile(a, 99), percentile(b, 99))) +
      fmt("Then, jingles sent as fast as one thread of the driver goes for 2 s: %.0f "
          "datagrams/s sent, %.0f/s skipped (%" PRIu64
          " dropped by the kernel), the copy at %.0f %% of a core. ",
          burst.sentPerSecond, burst.skippedPerSecond, burst.drops, burst.cpuShare * 100) +
      fmt("/status \"nowPlaying\" \"skipped\" %s at the end; the log holds %zu line(s) "
          "\"Now playing datagram(s) refused\"; the copy's output %s.",
          status.value_or("not read").c_str(), countOf(out, "Now playing datagram"),
          out.find("log lines dropped") == std::string::npos ? "lost no log line"
                                                             : "says log lines were dropped"));
}

// A now-playing item through the UDP door to the encoder, beside a
// producer's command; then a producer's round trip while the door skips a
// flood of items.
void nowPlayingDoorRows(int seconds) {
  udpItemRow(seconds);
  skipFloodRow(seconds);
}

// ---- The operator's console -------------------------------------------------

constexpr char kConsoleUser[] = "alice";
constexpr char kConsolePassword[] = "secret";
constexpr int kConsoleViewers = 200;
constexpr int kViewersPerAddress = 8;  // the console's bound per address
constexpr char kSessionCookie[] = "varnok_session";
constexpr int kKeepAliveMs = 5000;  // the event stream's keep-alive comment

// A connection to 127.0.0.1:port from source, another loopback address
// (bound before the connect), established within timeoutMs; invalid when
// refused or late.
Fd connectFrom(const std::string& source, std::uint16_t port, int timeoutMs) {
  return connectLoopback(port, timeoutMs, source.c_str());
}

// The status code of an HTTP answer; 0 when there is none.
int statusOf(const std::string& answer) {
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.c_str() + 9);
}

// A sign-in as the console's page makes it, from its own origin; the
// server closes the connection after the answer.
std::string signInRequest(std::uint16_t port, const std::string& password) {
  const std::string body = fmt(R"({"name":"%s","password":"%s"})", kConsoleUser, password.c_str());
  const std::string origin = fmt("127.0.0.1:%u", static_cast<unsigned>(port));
  return "POST /console/signin HTTP/1.1\r\nHost: " + origin + "\r\nOrigin: http://" + origin +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// One request from source on a connection of its own, the answer read to
// its end; empty when none came within timeoutMs.
std::string exchangeFrom(const std::string& source, std::uint16_t port, const std::string& request,
                         int timeoutMs) {
  Fd fd = connectFrom(source, port, timeoutMs);
  if (!fd.valid() || !sendAll(fd.get(), request.data(), request.size(), timeoutMs)) return {};
  return readToEnd(fd.get(), timeoutMs);
}

// The users file with one operator, as `varnok --add-user` writes it in a
// program folder.
std::string consoleUsersFile() {
  ProgramFolder folder(kProgram, "Users", "");
  ChildOptions options = folder.options();
  options.program = "/bin/sh";
  options.args = {"-c", fmt("printf '%s\\n' | ./varnok --add-user %s operator", kConsolePassword,
                            kConsoleUser)};
  Child add(options);
  const auto status = add.wait(30000);
  std::ifstream in(folder.folder() + "varnok.users");
  const std::string users((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!status || *status != 0 || users.find(kConsoleUser) == std::string::npos) {
    throw std::runtime_error("varnok --add-user failed; output:\n" + add.output());
  }
  return users;
}

// A copy with one encoder, its status page and the console (the users file
// in its folder), a producer connected, and a session of the operator.
struct ConsoleCopy {
  ConsoleCopy(const std::string& name, const std::string& users)
      : sink(std::make_unique<EncoderSink>(EncoderSink::OnChunk{})), httpPort(freePort()) {
    varnok = std::make_unique<Running>(
        name,
        ini(2, 0, {{"Studio", sink->port()}}) +
            fmt("[Status]\nHttpPort=%u\n", static_cast<unsigned>(httpPort)),
        0, std::map<std::string, std::string>{{"varnok.users", users}});
    if (!varnok->child->waitFor(
            fmt("Console on http://127.0.0.1:%u/console", static_cast<unsigned>(httpPort)),
            10000)) {
      throw std::runtime_error(name + ": no console; output:\n" + varnok->child->output());
    }
    producer = connectLoopback(varnok->port, 2000);
    const int one = 1;
    setsockopt(producer.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!produce(producer.get(), "RT\r", 2000)) {
      throw std::runtime_error(name + ": the producer was not acknowledged");
    }
    const TimePoint t0 = SteadyClock::now();
    const std::string answer =
        exchangeFrom("127.0.0.1", httpPort, signInRequest(httpPort, kConsolePassword), 10000);
    signInMs = msBetween(t0, SteadyClock::now());
    const std::string marker = std::string(kSessionCookie) + "=";
    const std::size_t at = answer.find(marker);
    if (statusOf(answer) != 200 || at == std::string::npos) {
      throw std::runtime_error(name + ": the sign-in was answered:\n" + answer);
    }
    cookie = answer.substr(at, answer.find_first_of(";\r", at) - at);
  }
  pid_t pid() const { return varnok->child->pid(); }

  std::unique_ptr<EncoderSink> sink;  // outlives the copy
  std::uint16_t httpPort;
  std::unique_ptr<Running> varnok;
  Fd producer;
  std::string cookie;  // "varnok_session=..."
  double signInMs = 0;
};

// Readers of a copy's event stream: n streams, kViewersPerAddress from each
// loopback address from 127.0.0.2 on, all read by one thread of the driver
// as the events come and thrown away.
class StreamViewers {
 public:
  StreamViewers(std::uint16_t port, const std::string& cookie, int n) {
    const std::string request =
        fmt("GET /console/events HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n", static_cast<unsigned>(port)) +
        "Cookie: " + cookie + "\r\nAccept: text/event-stream\r\n\r\n";
    for (int i = 0; i < n; ++i) {
      Fd fd = connectFrom(fmt("127.0.0.%d", 2 + i / kViewersPerAddress), port, 2000);
      if (!fd.valid() || !sendAll(fd.get(), request.data(), request.size(), 2000)) {
        ++refused_;
        continue;
      }
      const std::string head = readHead(fd.get(), 2000);
      if (statusOf(head) != 200) {
        if (refused_++ == 0) firstRefusal_ = head.substr(0, head.find('\r'));
        continue;
      }
      bytes_ += head.size();
      fds_.push_back(std::move(fd));
    }
    epoll_ = Fd(epoll_create1(EPOLL_CLOEXEC));
    for (const Fd& fd : fds_) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.fd = fd.get();
      epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &e);
    }
    reader_ = std::thread([this] { read(); });
  }
  ~StreamViewers() { close(); }
  // The readers leave: their connections are closed.
  void close() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
    fds_.clear();
  }
  int opened() const { return static_cast<int>(fds_.size()); }
  int refused() const { return refused_; }
  const std::string& firstRefusal() const { return firstRefusal_; }
  // Streams the server ended, and the bytes read so far.
  int ended() const { return ended_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  // The answer's head, with whatever came behind it.
  static std::string readHead(int fd, int timeoutMs) {
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    char buffer[4096];
    while (out.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left.count()));
    }
    return out;
  }
  void read() {
    epoll_event events[64];
    char buffer[16384];
    while (!stopping_) {
      const int n = epoll_wait(epoll_.get(), events, 64, 50);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        for (;;) {
          const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
          if (got > 0) {
            bytes_ += static_cast<std::uint64_t>(got);
            continue;
          }
          if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
          ++ended_;
          epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
          break;
        }
      }
    }
  }

  std::vector<Fd> fds_;
  Fd epoll_;
  std::thread reader_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<int> ended_{0};
  int refused_ = 0;
  std::string firstRefusal_;
};

// Clients that post sign-ins with a wrong password, each the next as soon
// as the last was answered (401 after the password check, or at once 429
// and 503), each client from kAddressesPerClient loopback addresses of its
// own in turn, 127.0.0.100 on. A connection per sign-in, which the server
// closes after its answer.
class SignInFlood {
 public:
  static constexpr int kClients = 16;
  static constexpr int kAddressesPerClient = 9;  // 144 addresses, up to 127.0.0.243

  explicit SignInFlood(std::uint16_t port) {
    for (int i = 0; i < kClients; ++i) clients_.emplace_back([this, i, port] { client(i, port); });
  }
  ~SignInFlood() { stop(); }
  // Waits for every client's last answer (each bounded).
  void stop() {
    stopping_ = true;
    for (std::thread& c : clients_) c.join();
    clients_.clear();
  }
  // Once stopped: the answers by status, and the sign-ins that got none.
  const std::map<int, std::uint64_t>& answers() const { return answers_; }
  std::uint64_t unanswered() const { return unanswered_; }
  std::uint64_t answered() const {
    std::uint64_t n = 0;
    for (const auto& [status, count] : answers_) n += count;
    return n;
  }

 private:
  void client(int index, std::uint16_t port) {
    const std::string request = signInRequest(port, "wrong");
    std::map<int, std::uint64_t> mine;
    std::uint64_t lost = 0;
    for (int n = 0; !stopping_; ++n) {
      const int address = 100 + index * kAddressesPerClient + n % kAddressesPerClient;
      const int status = statusOf(exchangeFrom(fmt("127.0.0.%d", address), port, request, 5000));
      if (status == 0) {
        ++lost;
      } else {
        ++mine[status];
      }
    }
    std::lock_guard lock(mutex_);
    for (const auto& [status, count] : mine) answers_[status] += count;
    unanswered_ += lost;
  }

  std::vector<std::thread> clients_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::map<int, std::uint64_t> answers_;
  std::uint64_t unanswered_ = 0;
};

// Two copies alike, each with the console and a producer: one carries the
// load of a window (viewers, a sign-in flood), the other none. Their
// producers are measured in alternation, one exchange with each per round
// in rotating order after a random pause of 0.5 to 1.5 ms, so that the
// machine's moods fall on both alike.
class ConsolePair {
 public:
  struct Window {
    RoundTrips loaded, quiet;
    double seconds = 0;
    // The loaded copy's CPU in the window: its loop (the main thread) and
    // the other threads (the password check), in ms a second.
    double loopMsPerSecond = 0, otherMsPerSecond = 0;
  };

  ConsolePair()
      : users_(consoleUsersFile()),
        loaded_("ConsoleLoaded", users_),
        quiet_("ConsoleQuiet", users_) {}
  ConsoleCopy& loaded() { return loaded_; }
  ConsoleCopy& quiet() { return quiet_; }

  Window measure(int seconds) {
    Window w;
    const pid_t pid = loaded_.pid();
    const ThreadCpu cpu0 = threadCpu(pid);
    const TimePoint t0 = SteadyClock::now();
    const TimePoint end = t0 + std::chrono::seconds(seconds);
    std::uniform_int_distribution<int> pauseUs(500, 1500);
    for (int round = 0; SteadyClock::now() < end; ++round) {
      if (w.loaded.failures + w.quiet.failures >= 5) break;
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random_)));
      for (int turn = 0; turn < 2; ++turn) {
        const bool loadedNow = (round + turn) % 2 == 0;
        ConsoleCopy& copy = loadedNow ? loaded_ : quiet_;
        RoundTrips& out = loadedNow ? w.loaded : w.quiet;
        const TimePoint start = SteadyClock::now();
        if (produce(copy.producer.get(), "RT\r", 2000)) {
          out.us.push_back(usBetween(start, SteadyClock::now()));
        } else {
          ++out.failures;
        }
      }
    }
    w.seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    for (const auto& [tid, ns] : threadCpu(pid)) {
      const auto was = cpu0.find(tid);
      const double used = static_cast<double>(ns - (was == cpu0.end() ? 0 : was->second));
      (tid == std::to_string(pid) ? w.loopMsPerSecond : w.otherMsPerSecond) +=
          used / 1e6 / w.seconds;
    }
    std::sort(w.loaded.us.begin(), w.loaded.us.end());
    std::sort(w.quiet.us.begin(), w.quiet.us.end());
    return w;
  }

 private:
  std::string users_;
  ConsoleCopy loaded_, quiet_;
  std::mt19937 random_{47};
};

// "p50 X us, p99 Y us (n=N)" of sorted round trips.
std::string roundTripText(const RoundTrips& r) {
  return fmt("p50 %.1f us, p99 %.1f us (n=%zu)", percentile(r.us, 50), percentile(r.us, 99),
             r.us.size());
}

// A producer's round trip with 200 viewers reading the event stream, then
// during a flood of wrong sign-ins, each beside a copy alike without them;
// the resident memory a viewer costs. First a window with both copies
// quiet, for the noise between the two.
void consoleRows(int seconds) {
  progress("console: two copies, each with a producer and a signed-in operator");
  ConsolePair pair;
  ConsoleCopy& loaded = pair.loaded();
  const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
  const auto ratios = [&](const ConsolePair::Window& w) {
    return std::pair(ratio(percentile(w.loaded.us, 50), percentile(w.quiet.us, 50)),
                     ratio(percentile(w.loaded.us, 99), percentile(w.quiet.us, 99)));
  };
  const auto failures = [](const ConsolePair::Window& w) {
    const int n = w.loaded.failures + w.quiet.failures;
    return n > 0 ? fmt(" (%d exchanges failed)", n) : std::string();
  };
  const auto kib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / 1024.0; };

  progress("console: both copies quiet, %d s", seconds);
  const ConsolePair::Window calm = pair.measure(seconds);

  progress("console: %d viewers of the event stream on one copy, %d s", kConsoleViewers, seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::uint64_t rss0 = residentBytes(loaded.pid());
  const std::uint64_t quietRss0 = residentBytes(pair.quiet().pid());
  StreamViewers viewers(loaded.httpPort, loaded.cookie, kConsoleViewers);
  const std::uint64_t bytesAtStart = viewers.bytes();
  const ConsolePair::Window watched = pair.measure(seconds);
  const std::uint64_t streamed = viewers.bytes() - bytesAtStart;
  const std::uint64_t rss1 = residentBytes(loaded.pid());
  const std::uint64_t quietRss1 = residentBytes(pair.quiet().pid());
  const int open = viewers.opened() - viewers.ended();
  {
    const auto [r50, r99] = ratios(watched);
    constexpr double kLimit = 1.1;
    std::string v = watched.loaded.us.empty() || watched.quiet.us.empty()
                        ? "not measured"
                        : bothWithin(r50, r99, kLimit, kLimit);
    if (open < kConsoleViewers) {
      v = fmt("not valid: %d of %d viewers open to the end (%d refused%s%s)", open, kConsoleViewers,
              viewers.refused(), viewers.refused() > 0 ? ": " : "", viewers.firstRefusal().c_str());
    }
    rows.push_back(
        {fmt("Acknowledgement round trip of a producer (`RT\\r`) with %d console viewers reading "
             "the event stream (8 from each of 25 addresses, one session), Threads 2, one encoder",
             kConsoleViewers),
         roundTripText(watched.loaded),
         "a second copy alike without viewers, in alternation: " + roundTripText(watched.quiet),
         fmt("p50 %.2fx, p99 %.2fx", r50, r99), fmt("p50 <= %.1fx, p99 <= %.1fx", kLimit, kLimit),
         v + failures(watched)});
  }
  {
    const double perViewer =
        (static_cast<double>(rss1) - static_cast<double>(rss0)) / 1024.0 / kConsoleViewers;
    const double quietDrift = static_cast<double>(quietRss1) - static_cast<double>(quietRss0);
    rows.push_back(
        {fmt("Resident memory per console viewer (%d event streams, after %d s of reading)",
             kConsoleViewers, seconds),
         fmt("%.1f KiB per viewer (RSS %.1f -> %.1f MiB)", perViewer, kib(rss0) / 1024,
             kib(rss1) / 1024),
         fmt("the same copy before the viewers; the copy without them changed by %+.0f KiB "
             "meanwhile",
             quietDrift / 1024),
         "", "none set", open == kConsoleViewers ? "measured" : "not valid: viewers missing"});
  }
  const int opened = viewers.opened();
  const double streamedPerViewer = opened > 0 ? kib(streamed) / opened / watched.seconds : 0;
  viewers.close();

  // A viewer that left is noticed at its next keep-alive at the latest.
  std::this_thread::sleep_for(std::chrono::milliseconds(kKeepAliveMs + 1000));
  progress("console: wrong sign-ins as fast as they are answered on one copy, %d s", seconds);
  // The driver's own CPU meanwhile: the flood's clients, mostly.
  const auto driverCpuMs = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
  };
  const double driverCpu0 = driverCpuMs();
  SignInFlood flood(loaded.httpPort);
  const ConsolePair::Window flooded = pair.measure(seconds);
  const double driverMsPerSecond = (driverCpuMs() - driverCpu0) / flooded.seconds;
  flood.stop();
  const double rate = static_cast<double>(flood.answered()) / flooded.seconds;
  const auto count = [&](int status) {
    const auto found = flood.answers().find(status);
    return found == flood.answers().end() ? std::uint64_t{0} : found->second;
  };
  std::string others;
  for (const auto& [status, n] : flood.answers()) {
    if (status != 401 && status != 429 && status != 503) {
      others += fmt(", %" PRIu64 " answered %d", n, status);
    }
  }
  {
    const auto [r50, r99] = ratios(flooded);
    constexpr double kLimit = 1.2;
    std::string v = flooded.loaded.us.empty() || flooded.quiet.us.empty()
                        ? "not measured"
                        : bothWithin(r50, r99, kLimit, kLimit);
    if (count(429) == 0 || flood.answered() == 0) v = "not valid: the flood was not answered";
    rows.push_back(
        {fmt("Acknowledgement round trip of a producer (`RT\\r`) during a flood of console "
             "sign-ins with a wrong password (%d clients from %d addresses, each the next as soon "
             "as answered, a connection each), Threads 2, one encoder",
             SignInFlood::kClients, SignInFlood::kClients * SignInFlood::kAddressesPerClient),
         roundTripText(flooded.loaded) + fmt("; %.0f sign-ins answered a second: %" PRIu64
                                             " 401, %" PRIu64 " 429, %" PRIu64 " 503%s",
                                             rate, count(401), count(429), count(503),
                                             others.c_str()),
         "a second copy alike without sign-ins, in alternation: " + roundTripText(flooded.quiet),
         fmt("p50 %.2fx, p99 %.2fx", r50, r99), fmt("p50 <= %.1fx, p99 <= %.1fx", kLimit, kLimit),
         v + failures(flooded) +
             (flood.unanswered() > 0 ? fmt(" (%" PRIu64 " sign-ins unanswered)", flood.unanswered())
                                     : std::string())});
  }
  const auto [c50, c99] = ratios(calm);
  notes.push_back(
      fmt("Console (two copies alike, Threads 2, each with one encoder, a producer and the "
          "operator signed in; the operator's sign-in took %.0f and %.0f ms with the right "
          "password): ",
          loaded.signInMs, pair.quiet().signInMs) +
      fmt("with both copies quiet, the one to be loaded gave %s and the other %s in alternation, "
          "p50 %.2fx, p99 %.2fx: the noise between the two. ",
          roundTripText(calm.loaded).c_str(), roundTripText(calm.quiet).c_str(), c50, c99) +
      fmt("The %d viewers (%d refused) read %.2f KiB a second each (the state and the log as "
          "they change, a keep-alive every %d s); the loaded copy's loop used %.1f ms of CPU a "
          "second with them, %.1f quiet. ",
          opened, viewers.refused(), streamedPerViewer, kKeepAliveMs / 1000,
          watched.loopMsPerSecond, calm.loopMsPerSecond) +
      fmt("During the flood its loop used %.1f ms of CPU a second and its other threads (the "
          "password check, one at a time) %.1f ms, the driver (the flood's clients, mostly) "
          "%.0f ms, on %ld processors; the copy without sign-ins went from p50 %.1f us, p99 "
          "%.1f us in the quiet window to p50 %.1f us, p99 %.1f us meanwhile (p50 %.2fx, p99 "
          "%.2fx: the machine's share). The server closes each connection after its answer.",
          flooded.loopMsPerSecond, flooded.otherMsPerSecond, driverMsPerSecond,
          sysconf(_SC_NPROCESSORS_ONLN), percentile(calm.quiet.us, 50),
          percentile(calm.quiet.us, 99), percentile(flooded.quiet.us, 50),
          percentile(flooded.quiet.us, 99),
          ratio(percentile(flooded.quiet.us, 50), percentile(calm.quiet.us, 50)),
          ratio(percentile(flooded.quiet.us, 99), percentile(calm.quiet.us, 99))));
}

// ---- Machine ----------------------------------------------------------------

std::string machine() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpu, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  double memGiB = 0;
  std::ifstream mem("/proc/meminfo");
  while (std::getline(mem, line)) {
    if (line.rfind("MemTotal:", 0) == 0) memGiB = std::stod(line.substr(9)) / 1048576.0;
  }
  return fmt("nproc %ld, %s, %.1f GiB memory", sysconf(_SC_NPROCESSORS_ONLN), model.c_str(),
             memGiB);
}

void printTable(double seconds) {
  std::printf("\nMachine: %s\n\n", machine().c_str());
  std::printf("| What | Measured | Baseline in the same run | Ratio | Target | Result |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.measured.c_str(),
                r.baseline.c_str(), r.ratio.c_str(), r.target.c_str(), r.verdict.c_str());
  }
  std::printf("\n");
  for (const std::string& n : notes) std::printf("- %s\n", n.c_str());
  std::printf("\nThe table took %.0f s to measure.\n", seconds);
  std::fflush(stdout);
}

}  // namespace
}  // namespace varnok::bench

int main(int argc, char** argv) {
  using namespace varnok::bench;
  int seconds = 30;
  std::vector<std::string> only;
  const std::vector<std::string> groups = {
      "queue", "encode", "ack",     "parallel", "encoders",  "nowplaying", "nowplaying-doors",
      "mqtt",  "memory", "backlog", "banlist",  "producers", "console"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc &&
               std::find(groups.begin(), groups.end(), argv[i + 1]) != groups.end()) {
      only.push_back(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--seconds N] [--only queue|encode|ack|parallel|encoders|nowplaying|"
                   "nowplaying-doors|mqtt|memory|backlog|banlist|producers|console]...\n",
                   argv[0]);
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  const rlim_t limit = raiseDescriptorLimit();
  const TimePoint start = SteadyClock::now();
  // The rows are measured one group at a time (the heavy ones alone) and
  // printed in the order of the table.
  std::map<std::string, std::vector<Row>> measured;
  const auto group = [&](const std::string& name, const std::function<void()>& measure) {
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) return;
    try {
      measure();
    } catch (const std::exception& e) {
      rows.push_back(
          {"(a group of rows)", std::string("not measured: ") + e.what(), "", "", "", ""});
    }
    measured[name] = std::move(rows);
    rows.clear();
  };
  group("queue", queueRows);
  group("encode", encodeRows);
  group("ack", ackRows);
  group("parallel", [&] { parallelRows(seconds); });
  group("encoders", [&] { encoderRows(seconds); });
  group("nowplaying", [&] { nowPlayingRows(seconds); });
  group("nowplaying-doors", [&] { nowPlayingDoorRows(seconds); });
  group("mqtt", [&] { mqttRows(seconds); });
  group("memory", memoryRow);
  group("backlog", backlogRow);
  group("banlist", banListRow);
  group("producers", [&] { producersRow(limit); });
  group("console", [&] { consoleRows(seconds); });
  for (const char* name :
       {"ack", "banlist", "parallel", "encoders", "encode", "nowplaying", "nowplaying-doors",
        "mqtt", "memory", "backlog", "queue", "producers", "console"}) {
    const std::vector<Row>& g = measured[name];
    rows.insert(rows.end(), g.begin(), g.end());
  }
  printTable(std::chrono::duration<double>(SteadyClock::now() - start).count());
  return 0;
}
