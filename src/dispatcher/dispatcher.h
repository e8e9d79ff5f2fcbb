#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/command_queues.h"
#include "dispatcher/control.h"
#include "dispatcher/debug_trail.h"
#include "dispatcher/dispatcher_config.h"
#include "dispatcher/encoder.h"
#include "dispatcher/log_view.h"
#include "dispatcher/producer_intake.h"
#include "dispatcher/sender_slot.h"
#include "dispatcher/status_table.h"
#include "dispatcher/traffic_counters.h"
#include "dispatcher/window_host.h"
#include "platform/event_loop.h"
#include "platform/result.h"

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
// through the sender slots. It chooses whom each slot serves next, suspends
// failing encoders and keeps the counters, the log and the status table;
// the slots run their own connections and the intake its producers. Front
// ends render its status table and log and forward the operator's actions;
// they hold no logic of their own.
//
// Ownership: the dispatcher owns everything it uses for the whole run. All
// of it runs on the event loop's thread; what the slots and the intake
// report comes in through the private interfaces below.
class Dispatcher : private SlotOwner, private IntakeOwner {
 public:
  static constexpr int kMaxSlots = DispatcherConfig::kMaxSlots;
  static constexpr int kInfoCommand = 666;  // the window menu's Info entry
  static constexpr auto& kAcknowledgement = ProducerIntake::kAcknowledgement;

  Dispatcher(EventLoop& loop, std::string programFolder);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Builds the tables from the settings, starts listening; a port that
  // cannot be had has been logged when the error comes back. Without
  // settings, they are read from the program folder first.
  Result<> start(const DispatcherSettings& settings);
  Result<> start();
  void close();  // stops listening and closes every slot
  // What became of a text handed over by a second copy.
  enum class HandOff {
    Handled,      // queued, or dropped by the Inputs switches, or empty
    FileNotRead,  // it named a command file that could not be read
    QueuesFull,   // the producers' total bound holds: nothing was queued
  };
  HandOff handOff(const std::string& text);
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
  // starts reading with them. Runs once the queue operation that decided it
  // is over: it may queue.
  void setOnProducersHeld(std::function<void(bool held)> onHeld) {
    intake_.setOnProducersHeld(std::move(onHeld));
  }
  bool producersHeld() const { return queues_.producersHeld(); }
  // How the texts of commands for encoders that take UECP reach the RDS
  // character set; without one they are taken as RDS bytes already.
  void setTextToRds(uecp::TextToRds convert) { textToRds_ = std::move(convert); }
  void log(std::string_view text) override;  // a line in the operator's log
  // An operator's action (control.h): the answer, or why it was refused
  // (nothing changed then).
  Result<std::string> control(const ControlRequest& request);
  const ControlCounts& controlCounts() const { return controlCounts_; }
  // An action carried out outside the dispatcher (reload, overrides):
  // logged as done by who and counted like the others.
  void actionDone(ControlAction action, const std::string& who, const std::string& line);
  // Takes the configuration read again: the settings that can change while
  // running, the access lists and the encoder table. Encoders reached the
  // same way (name, transport, address, protocol) keep their queues,
  // counts and slots; a removed one's waiting commands are counted as
  // expired. Keys that need a restart are logged and wait for it. What it
  // did, or why nothing changed.
  Result<std::string> reload(const DispatcherSettings& next);

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
  bool listening() const { return intake_.listening(); }
  std::uint16_t listeningPort() const { return intake_.port(); }
  std::size_t producerConnections() const { return intake_.connectionCount(); }
  // The address of each producer connection open now.
  std::vector<std::string> producerAddresses() const { return intake_.addresses(); }

 private:
  friend class DispatcherPeer;  // tests/support: the tests' one way inside

  // The log is trimmed to this many displayed lines before a line is added.
  static constexpr int kLogLinesBeforeAdd = 50;

  // The application's guard: an exception that escaped a handler.
  void applicationError(const char* what);

  // Queues.
  void enqueue(const std::string& command, const Destination& to, const CommandOrigin& origin,
               const std::shared_ptr<ProducerShare>& producer);
  std::string takeNext(int encoder, CommandOrigin* origin = nullptr);
  void expiryTick();
  bool isServed(int encoder, bool connectedRequired);
  int waitingUnserved();
  int longestWaiting(bool servedOnly);
  int idleSlot();
  // One encoder's "Queue" cell, or every encoder's (-1).
  void refreshQueueColumn(int encoder);

  // The dispatch cycle, suspension and resumption.
  void dispatchTick();
  // An idle slot is bound to the encoder and dials it; a connected one gets
  // its next command. A failure has been reported when it comes back.
  Result<> serve(int encoder, int slot);
  // The message elements of a command for an encoder that takes UECP, one
  // for each line; none when a line has none (counted and logged).
  std::vector<uecp::Bytes> uecpElements(int encoder, std::string_view command, bool rdsText);
  // Keeps the PS and radio text of a command handed to the encoder.
  void noteOnAir(int encoder, std::string_view command);
  void suspend(int encoder);
  void resumeTick();

  // What the slots report.
  bool mayDial(int encoder, const sockaddr_in& target) override;
  void slotConnected(const SenderSlot& slot) override;
  void slotDelivered(const SenderSlot& slot, std::size_t commands) override;
  bool slotRefused(const SenderSlot& slot, const std::string& command,
                   const std::string& why) override;
  void slotNote(const SenderSlot& slot, const std::string& text) override;
  // Counts a failure against the encoder, suspending it at ErrorLimit.
  void countFailure(int encoder);
  void slotEnded(const SenderSlot& slot, const SlotEnding& ending) override;
  void socketError(int encoder, int errorCode, const std::string& text) override;
  void dialShortage(int encoder, int errorCode, const std::string& text) override;
  bool anotherEncoderWaits() override;
  // Whether the commands fit within the producers' total bound now.
  bool roomFor(const std::vector<std::string>& commands, const std::string& to) const;
  // What the intake hands over.
  void producerCommand(const std::string& command,
                       const std::shared_ptr<ProducerShare>& share) override;

  // Sizes the encoder table, the queues and the status table's rows together
  // and fills them; throws std::bad_alloc when memory runs out, and then
  // changes nothing.
  void buildEncoderTables(const std::vector<Encoder>& configured);
  // One encoder's row of the status table, from the encoder and its queue.
  void showEncoderRow(std::size_t encoder);
  void switchOffSelfDelivery(int encoder, std::uint16_t port);

  EventLoop& loop_;
  WindowHost* window_ = nullptr;
  DispatcherConfig config_;
  // Declared before the sockets and timers, which may still log while they
  // go: these outlive them.
  DebugTrail trail_;
  LogView logView_;
  StatusTable table_;
  TrafficCounters counters_;
  std::vector<Encoder> encoders_;
  CommandQueues queues_;
  int slotCount_ = 0;
  // A dial failed for want of this machine's own resources and that was
  // logged; no dial has got under way since.
  bool shortageLogged_ = false;
  uecp::TextToRds textToRds_;
  ControlCounts controlCounts_{};

  ProducerIntake intake_;
  std::array<SenderSlot, kMaxSlots> slots_;
  Timer dispatchTimer_;
  Timer expiryTimer_;
  Timer resumeTimer_;
};

// Where an encoder's link goes, from its settings.
LinkTarget linkTargetOf(const Encoder& e);

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
