// The real program with its status window: commands flow from producers to
// encoder simulators while the window is read by our client, by curl and by
// real parsers; misbehaving clients run in a thread of this process.
#include "status_process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "http_client.h"
#include "support/acked_producer.h"
#include "support/proc_stats.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

// The TCP ports a process listens on: its socket descriptors matched with the
// listening entries of its network namespace.
std::set<std::uint16_t> listeningPorts(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<std::uint16_t> ports;
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::ifstream in(proc + table);
    std::string line, local, state, skip, inode;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      std::istringstream f(line);
      f >> skip >> local >> skip >> state >> skip >> skip >> skip >> skip >> skip >> inode;
      if (state == "0A" && inodes.count(inode) != 0) {
        ports.insert(
            static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), 0, 16)));
      }
    }
  }
  return ports;
}

using StatusProcess = StatusProgram;

TEST_F(StatusProcess, TheWindowAgreesWithTheEncodersTheDumpCurlAndRealParsers) {
  EncoderSim a(sims, "a"), b(sims, "b");
  launch("EncoderCount=2\n",
         encoder(1, "Studio A", a.port()) + encoder(2, "Studio \"B\"", b.port()));
  AckedProducer producer(listen);
  std::string sent;
  for (int i = 0; i < 20; ++i) {
    sent += "RT=Song " + std::to_string(i) + "\r";
    ASSERT_TRUE(producer.command(sent.substr(sent.rfind("RT=")))) << producer.error();
  }
  // Logged as it came: control bytes, quotes, a backslash, bytes not UTF-8.
  const std::string awkward = "\x01\x1b[7m\"q\"\\b\xff\xfe\xc3(.ini";
  EXPECT_EQ(app->start({"FILE:" + awkward})->wait(), 1);
  EXPECT_EQ(app->start({"RT=Handed", "over"})->wait(), 0);
  sent += "RT=Handed over\r";
  ASSERT_TRUE(eventually([&] { return a.received() == sent && b.received() == sent; }, 10000,
                         {varnok.get()}));

  // Delivered once the encoders' side has acknowledged it, seen at the next tick.
  Parsed json;
  EXPECT_TRUE(eventually(
      [&] {
        json = parseWith("json", get("/status").body);
        return json.has("total delivered 42");
      },
      5000, {varnok.get()}));
  ASSERT_EQ(json.exit, 0) << json.out;
  for (const char* total : {"received.tcp 20", "received.handoff 1", "queued 42", "delivered 42",
                            "failedSends 0", "producersAccepted 1", "producerConnections 1"}) {
    EXPECT_TRUE(json.has(std::string("total ") + total)) << total << "\n" << json.out;
  }
  EXPECT_TRUE(json.has("listening " + std::to_string(listen)));
  const std::string logged = hexOf("> File could not be read - " + awkward);
  int found = 0;
  for (const std::string& hex : json.starting("log ")) {
    found += hex.size() > logged.size() && hex.substr(hex.size() - logged.size()) == logged;
  }
  EXPECT_EQ(found, 1) << json.out;
  const auto dump = statusDump(*varnok);
  ASSERT_EQ(json.starting("encoder ").size(), 2u) << json.out;
  for (const std::string& row : json.starting("encoder ")) {
    std::istringstream f(row);
    std::string nameHex, host;
    int port = 0, queue = -1, thread = 0, errors = -1, enabled = 0;
    f >> nameHex >> host >> port >> queue >> thread >> errors >> enabled;
    const std::string name = nameHex == hexOf("Studio A") ? "Studio A" : "Studio \"B\"";
    EXPECT_EQ(nameHex, hexOf(name));
    const StatusRow& cells = dump.at(name);
    EXPECT_EQ(cells.host + " " + cells.port + " " + cells.queue + " " + cells.enabled,
              host + " " + std::to_string(port) + " 0 Yes");
    EXPECT_EQ(queue, 0);
    EXPECT_EQ(cells.errors, errors == 0 ? "" : std::to_string(errors));
  }

  const Parsed prom = parseWith("metrics", get("/metrics").body);
  ASSERT_EQ(prom.exit, 0) << prom.out;
  for (const char* line :
       {"family varnok_commands_delivered counter", "sample varnok_commands_delivered_total {} 42",
        "sample varnok_commands_received_total {\"input\": \"tcp\"} 20",
        "sample varnok_commands_received_total {\"input\": \"handoff\"} 1",
        "sample varnok_encoder_connected {\"encoder\": \"Studio \\\"B\\\"\", "
        "\"number\": \"2\"} 1"}) {
    EXPECT_TRUE(prom.has(line)) << line << "\n" << prom.out;
  }

  const std::string base = "http://127.0.0.1:" + std::to_string(http);
  EXPECT_EQ(curl({"-i", base + "/nothing"}).status, 404);
  const HttpAnswer post = curl({"-i", "--data", "RT=Sneaky", base + "/status"});
  EXPECT_EQ(post.status, 405);
  EXPECT_TRUE(post.hasHeader("Allow: GET, HEAD")) << post.head;
  const HttpAnswer head = curl({"-I", base + "/metrics"});
  EXPECT_TRUE(head.hasHeader("Content-Type: text/plain; version=0.0.4; charset=utf-8"));
  EXPECT_EQ(head.body, "");
  EXPECT_TRUE(parseWith("json", get("/status").body).has("total queued 42"));  // still
  EXPECT_EQ(listeningPorts(varnok->pid()), (std::set<std::uint16_t>{listen, http}));
  stop();
}

TEST_F(StatusProcess, QueueGrowsWhileAnEncoderStallsAndDrainsWhenItReadsAgain) {
  EncoderSim quick(sims, "quick");
  // Reads nothing at first: Varnok's writes fill the buffers, the rest queues.
  ThreadedEncoder stalled({.receiveBuffer = 4096, .silentMs = 5000, .lifetimeMs = 30000});
  launch("EncoderCount=2\n",
         encoder(1, "Quick", quick.port()) + encoder(2, "Stalled", stalled.port));
  AckedProducer producer(listen);
  std::string sent;
  for (int i = 0; i < 40; ++i) {
    const std::string command = "RT=" + std::string(8000, static_cast<char>('a' + i % 26)) + "\r";
    ASSERT_TRUE(producer.command(command)) << producer.error();
    sent += command;
  }
  ASSERT_TRUE(eventually([&] { return quick.received() == sent; }, 10000, {varnok.get()}));
  // Nothing joins the stalled queue now: the JSON's count lies between two dumps.
  const int before = std::stoi(statusDump(*varnok).at("Stalled").queue);
  const Parsed json = parseWith("json", get("/status").body);
  const int after = std::stoi(statusDump(*varnok).at("Stalled").queue);
  int stuck = -1, delivered = -1, inFlight = -1;
  for (const std::string& row : json.starting("encoder " + hexOf("Stalled") + " ")) {
    std::istringstream f(row);
    std::string host, port;
    f >> host >> port >> stuck;
  }
  for (const std::string& n : json.starting("total delivered ")) delivered = std::stoi(n);
  for (const std::string& n : json.starting("total inFlight ")) inFlight = std::stoi(n);
  EXPECT_GT(stuck, 0) << json.out;
  EXPECT_TRUE(after <= stuck && stuck <= before) << after << " " << stuck << " " << before;
  // What the stalled one was given and has not acknowledged is in flight.
  EXPECT_EQ(delivered + inFlight, 80 - stuck) << json.out;

  ASSERT_TRUE(eventually([&] { return stalled.received() == sent; }, 15000, {varnok.get()}));
  Parsed drained;
  EXPECT_TRUE(eventually(
      [&] {
        drained = parseWith("json", get("/status").body);
        return drained.has("total delivered 80");
      },
      5000, {varnok.get()}))
      << drained.out;
  for (const std::string& row : drained.starting("encoder ")) {
    std::istringstream f(row);
    std::string name, host, port;
    int queue = -1;
    f >> name >> host >> port >> queue;
    EXPECT_EQ(queue, 0) << row;
  }
  stop();
}

// After an outage an encoder that replaces waiting texts gets the latest of
// each key, not every one it missed; one that does not gets them all, in
// order; and the totals add up.
TEST_F(StatusProcess, ReplaceWaitingSendsOnlyTheLatestAfterAnOutage) {
  const std::uint16_t aPort = closedPort(), bPort = closedPort();
  launch("EncoderCount=2\nErrorLimit=1000000\n",
         encoder(1, "A", aPort) + "ReplaceWaiting=RT1,PS\n" + encoder(2, "B", bPort));
  AckedProducer producer(listen);
  std::string all;
  for (const char* command : {"RT1=one\r", "PS=x\r", "RT1=two\r", "RT1=three\r", "PS=y\r"}) {
    ASSERT_TRUE(producer.command(command)) << producer.error();
    all += command;
  }
  EncoderSim a(sims, "a", {"--port", std::to_string(aPort)});
  EncoderSim b(sims, "b", {"--port", std::to_string(bPort)});
  ASSERT_TRUE(eventually([&] { return a.received() == "RT1=three\rPS=y\r" && b.received() == all; },
                         15000, {varnok.get()}))
      << a.received() << " | " << b.received();
  Parsed json;
  EXPECT_TRUE(eventually(
      [&] {
        json = parseWith("json", get("/status").body);
        return json.has("total delivered 7");
      },
      5000, {varnok.get()}))
      << json.out;
  for (const char* total : {"queued 10", "delivered 7", "replaced 3", "expired 0", "failedSends 0",
                            "inFlight 0", "waiting 0"}) {
    EXPECT_TRUE(json.has(std::string("total ") + total)) << total << "\n" << json.out;
  }
  stop();
}

TEST_F(StatusProcess, NoPortNothingListensATakenOneIsLoggedAndProducersAreServed) {
  EncoderSim a(sims, "a");
  launch("EncoderCount=1\n", encoder(1, "Studio A", a.port()), "");
  EXPECT_EQ(listeningPorts(varnok->pid()), std::set<std::uint16_t>{listen});
  EXPECT_EQ(varnok->out().find("Status page"), std::string::npos);
  stop();

  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopbackAddress("127.0.0.1", 0);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  const std::string taken = std::to_string(localPort(holder));
  launch("EncoderCount=1\n", encoder(1, "Studio A", a.port()), "HttpPort=" + taken + "\n");
  ASSERT_TRUE(varnok->waitForOutput(
      "Socket Error 10048 - Address already in use (status page 127.0.0.1:" + taken + ")\n"))
      << varnok->out();
  AckedProducer producer(listen);
  ASSERT_TRUE(producer.command("RT=Still here\r")) << producer.error();
  EXPECT_TRUE(eventually([&] { return a.received() == "RT=Still here\r"; }, 10000, {varnok.get()}));
  EXPECT_EQ(listeningPorts(varnok->pid()), std::set<std::uint16_t>{listen});
  stop();
  ::close(holder);
}

// Connections that say nothing, trickle a request, or send request lines and
// headers far beyond any page's need; never blocking on the server.
void flood(std::uint16_t port, const std::atomic<bool>& stop, std::atomic<int>& opened) {
  const std::string line = "GET /" + std::string(1 << 20, 'a');
  std::string headers = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 20000; ++i) headers += "X-" + std::to_string(i) + ": y\r\n";
  std::vector<int> open;
  for (int round = 0; !stop; ++round) {
    const int fd = open.size() < 400 ? httpClientSocket(port, "127.0.0.1", 1000) : -1;
    if (fd >= 0) {
      open.push_back(fd);
      ++opened;
      const std::string& what = round % 3 == 1 ? line : round % 3 == 2 ? headers : "GET / HT";
      ::send(fd, what.data(), what.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    for (std::size_t i = 0; i < open.size(); i += 3) {
      ::send(open[i], "T", 1, MSG_NOSIGNAL | MSG_DONTWAIT);  // the trickle
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const int fd : open) ::close(fd);
}

TEST_F(StatusProcess, FloodsOfBadClientsLeaveThePageAndTheCommandRoadWorking) {
  EncoderSim a(sims, "a");
  launch("EncoderCount=1\n", encoder(1, "Studio A", a.port()));
  ASSERT_EQ(get("/").status, 200);
  const long before = peakResidentKb(varnok->pid());
  std::atomic<bool> stopFlood{false};
  std::atomic<int> opened{0};
  std::thread flooder(flood, http, std::cref(stopFlood), std::ref(opened));
  AckedProducer producer(listen, 3000);
  std::string sent;
  for (int pages = 0; pages < 30; ++pages) {
    sent += "RT=" + std::to_string(pages) + "\r";
    EXPECT_TRUE(producer.command(sent.substr(sent.rfind("RT=")))) << producer.error();
    // From another address than the flood's, whose share is its own.
    EXPECT_EQ(get("/status", "127.0.0.2").status, 200) << "page " << pages;
    varnok->pump(80);  // slower than the dispatch ticks deliver
  }
  stopFlood = true;
  flooder.join();
  EXPECT_GT(opened, 100);
  EXPECT_TRUE(eventually([&] { return a.received() == sent; }, 10000, {varnok.get()}));
  EXPECT_TRUE(eventually([&] { return get("/").status == 200; }, 5000, {varnok.get()}));
  // The library's limits hold about 1 MiB of requests; the rest is slack for
  // the sanitizers' bookkeeping.
  EXPECT_LT(peakResidentKb(varnok->pid()) - before, 16 * 1024) << "KiB more at the peak";
  stop();
}

}  // namespace
}  // namespace varnok::testing
