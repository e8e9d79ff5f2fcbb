#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/access_list.h"
#include "dispatcher/command_queues.h"
#include "dispatcher/debug_trail.h"
#include "dispatcher/dispatcher_config.h"
#include "dispatcher/encoder.h"
#include "dispatcher/log_view.h"
#include "dispatcher/sender_slot.h"
#include "dispatcher/status_table.h"
#include "dispatcher/traffic_counters.h"
#include "dispatcher/window_host.h"
#include "net/tcp_listener.h"
#include "platform/event_loop.h"

namespace varnok {

// Who a command is for: every enabled encoder (no name, no index), the
// enabled encoders of one name (compared as a command file's DestinationName
// is, ignoring ASCII case), or one encoder by its index in the table.
struct Destination {
  std::string name;
  int encoder = -1;
};

// The dispatcher: takes commands from producers, second copies and command
// files, queues them per encoder and hands the queues to the encoders
// through the sender slots. Front ends render its status table and log and
// forward the operator's actions; they hold no logic of their own.
//
// Ownership: the dispatcher owns everything it uses for the whole run. All
// of it runs on the event loop's thread; component handlers are private.
class Dispatcher {
 public:
  static constexpr int kMaxSlots = DispatcherConfig::kMaxSlots;
  static constexpr int kInfoCommand = 666;  // the window menu's Info entry
  static constexpr char kAcknowledgement[] = "\r\n+\r\n\r\n";

  Dispatcher(EventLoop& loop, std::string programFolder);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  void start();  // reads the configuration, builds the tables, starts listening
  void close();  // stops listening and closes every slot
  // A text handed over by a second copy; false only when it named a command
  // file that could not be read.
  bool handOff(const std::string& text);
  // Queues Repeat + 1 copies of command for each encoder it is for.
  void queueCommand(const std::string& command, const Destination& to = {},
                    const CommandOrigin& origin = {});
  // Takes out of one encoder's queue the entries of one source still
  // waiting there (counted as replaced): a newer now-playing text makes the
  // older ones pointless. Returns how many were taken.
  std::size_t dropWaiting(int encoder, CommandSource source);
  // A command from an input that is not a producer connection but can keep
  // sending like one (the broker): counted in the producers' total backlog,
  // and in the received totals by its source.
  void queueProducedCommand(const std::string& command, const Destination& to,
                            const CommandOrigin& origin);
  // Told when the producers' total backlog bound holds every producer (true)
  // and when it lets them be read again (false): such an input stops and
  // starts reading with them. Runs inside a queue operation: it may pause
  // and resume reading, and must not queue.
  void setOnProducersHeld(std::function<void(bool held)> onHeld) {
    onProducersHeld_ = std::move(onHeld);
  }
  bool producersHeld() const { return queues_.producersHeld(); }
  void log(std::string_view text);  // a line in the operator's log

  // The operator's window actions; the window itself, none while there is none.
  void setWindowHost(WindowHost* host) { window_ = host; }
  WindowHost* windowHost() const { return window_; }
  void systemMenuCommand(int command);
  void toggleWindow();
  void exit();

  // Read-only views for the front ends and the tests.
  EventLoop& loop() const { return loop_; }
  const DispatcherConfig& config() const { return config_; }
  const std::vector<Encoder>& encoders() const { return encoders_; }
  const CommandQueues& queues() const { return queues_; }
  std::span<const SenderSlot> senderSlots() const;  // the slots in use (Threads)
  const TrafficCounters& counters() const { return counters_; }
  const StatusTable& statusTable() const { return table_; }
  const LogView& logView() const { return logView_; }
  const std::string& debugTrail() const { return trail_.text(); }
  bool listening() const { return listener_.listening(); }
  std::uint16_t listeningPort() const { return listener_.port(); }
  std::size_t producerConnections() const { return listener_.connectionCount(); }

 private:
  friend class DispatcherPeer;  // tests/support: the tests' one way inside

  // The log is trimmed to this many displayed lines before a line is added.
  static constexpr int kLogLinesBeforeAdd = 50;

  // Log and debug trail.
  void mark(Mark m) { trail_.mark(m); }
  [[noreturn]] void applicationError(const std::exception& e);
  void logApplicationError(const char* what);

  // Queues.
  void enqueue(const std::string& command, const Destination& to, const CommandOrigin& origin,
               const std::shared_ptr<ProducerShare>& producer);
  std::string takeNext(int encoder);
  void expiryTick();
  bool isServed(int encoder, bool connectedRequired);
  int waitingUnserved();
  int longestWaiting(bool servedOnly);
  int activeCount();
  int idleSlot();
  void refreshQueueColumn(int encoder);
  void refreshQueueColumns();

  // The dispatch cycle and the slots.
  void dispatchTick();
  void restIfIdle();
  void serve(int encoder, int slot);
  void slotConnected(SenderSlot& slot);
  void slotDisconnected(SenderSlot& slot);
  void slotTimer(SenderSlot& slot);
  // An active encoder with commands waiting has no slot.
  bool anotherEncoderWaits();
  void slotWritten(SenderSlot& slot);
  void commandWritten(SenderSlot& slot);
  void settleAcknowledged(SenderSlot& slot);
  void socketError(const SenderSlot* slot, int errorCode, const std::string& text);
  void suspend(int encoder);
  void resumeTick();

  // Producers and the access lists.
  void producerConnected(net::AcceptedConnection& producer);
  void producerDisconnected(net::AcceptedConnection& producer);
  void producerData(net::AcceptedConnection& producer, std::string_view bytes);
  // The queues' ProducerGate: stop reading every producer connection; read
  // again each one that its own bound does not hold.
  void holdProducers();
  void readProducersAgain();
  bool banned(const std::string& address);
  bool inList(const AccessList& list, const std::string& address);
  void loadList(const std::string& extension);

  // Command files.
  bool commandFile(const std::string& request);

  // Sizes the encoder table, the queues and the status table's rows together
  // and fills them; throws std::bad_alloc when memory runs out, and then
  // changes nothing.
  void buildEncoderTables(const IniFile& ini, std::int32_t encoderCount);
  bool deliversToOurselves(const Encoder& e) const;
  // A slot's client asks before each connect(): false refuses the attempt.
  bool mayDial(SenderSlot& slot, const sockaddr_in& target);
  void switchOffSelfDelivery(int encoder, std::uint16_t port);
  TDateTime now() const { return loop_.clock().now(); }

  EventLoop& loop_;
  WindowHost* window_ = nullptr;
  DispatcherConfig config_;
  // Declared before the sockets and timers, which may still log while they
  // go: these outlive them.
  DebugTrail trail_;
  LogView logView_;
  StatusTable table_;
  TrafficCounters counters_;
  // What inputs outside the listener have waiting, counted as one producer.
  std::shared_ptr<ProducerShare> producedShare_ = std::make_shared<ProducerShare>();
  std::function<void(bool)> onProducersHeld_;
  std::vector<Encoder> encoders_;
  CommandQueues queues_;
  AccessList vipList_;
  AccessList banList_;
  int slotCount_ = 0;

  net::TcpListener listener_;  // producers
  std::array<SenderSlot, kMaxSlots> slots_;
  Timer dispatchTimer_;
  Timer expiryTimer_;
  Timer resumeTimer_;
};

// The application title "Varnok (" + folder name + ")", or "Varnok" when the
// folder name cannot be had.
std::string applicationTitleFor(const std::string& programFolder);

// Column numbers of the status table.
enum StatusColumn : int {
  kColName = 0,
  kColHost = 1,
  kColPort = 2,
  kColQueue = 3,
  kColThread = 4,
  kColErrors = 5,
  kColEnabled = 6
};

}  // namespace varnok
