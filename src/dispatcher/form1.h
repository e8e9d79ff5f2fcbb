#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/log_view.h"
#include "dispatcher/status_table.h"
#include "dispatcher/window_host.h"
#include "net/simple_tcp.h"
#include "platform/event_loop.h"
#include "platform/ini_file.h"

namespace varnok {

// TKodery: one configured encoder (Kodery: the encoder table).
struct TKodery {
  std::string Name;
  std::string Host;
  std::int32_t Port = 0;
  std::int32_t Errors = 0;       // failed connection attempts since start
  std::int32_t ErrorsInRow = 0;  // since the last good connection or resumption
  bool Enabled = false;          // switched on by configuration
  bool Active = false;           // may be served now; cleared by a suspension
  TDateTime SuspendedAt = 0;
};

// What one producer connection has waiting in the queues, so that a
// producer that writes faster than the encoders take can be slowed down
// alone. Shared by the queued entries it put there.
struct ProducerShare {
  std::int64_t Waiting = 0;  // bytes of its entries still queued
  bool Paused = false;       // its connection is not being read
  std::weak_ptr<net::TCustomSocket* const> Connection;
};

// TFronta: one queued command (Fronty: the per-encoder queues).
struct TFronta {
  std::string Command;  // bytes, line end included when it has one
  TDateTime Queued = 0;
  std::shared_ptr<ProducerShare> Share;  // the producer that sent it, if any
};

// TOdesilace: one sender slot (Odesilace: the sender-slot table).
struct TOdesilace {
  std::int32_t Koder = -1;  // encoder served, -1 when idle
  bool LinkUp = false;      // the connection to that encoder is established
};

// Configuration read once at start-up and never changed afterwards.
struct TConfig {
  std::string ProgramFolder;  // with a trailing "/"
  std::int32_t Repeat = 0;
  std::int32_t MaxSecondsInQueue = 600;
  std::int32_t ErrorLimit = 3;
  std::int32_t SuspendForMinutes = 5;
  std::uint16_t ListenOnPort = 23;
  bool Socket = true;
  bool File = true;
  bool CmdLine = true;
  int Threads = 2;
  // Bytes one producer connection may have waiting in the queues (all
  // copies counted) before it is no longer read; 0 or less: no bound.
  std::int64_t ProducerBacklogBytes = std::int64_t{16384} * 1024;
  // The read-only status window over HTTP: its port (0: none) and the
  // address it is bound to.
  std::uint16_t HttpPort = 0;
  std::string HttpAddress = "127.0.0.1";
};

// Running totals since start-up, shown by the status window. Plain counts,
// bumped where the events happen; nothing reads them on the command road.
struct TrafficCounters {
  // Commands taken in, by the way they came.
  std::uint64_t ReceivedTcp = 0;      // producer chunks acknowledged
  std::uint64_t ReceivedHandOff = 0;  // texts from a second copy
  std::uint64_t ReceivedFile = 0;     // commands read from command files
  std::uint64_t Queued = 0;           // queue entries made (every copy, every encoder)
  std::uint64_t Delivered = 0;        // entries written whole to an encoder's connection
  std::uint64_t Expired = 0;          // entries dropped for their age
  std::uint64_t FailedSends = 0;      // entries whose connection ended before they went out
  // Producer connections, decided by the access lists at their first chunk.
  std::uint64_t ProducersAccepted = 0;
  std::uint64_t ProducersRefused = 0;
};

// The dispatcher: the main window's state and every handler of its
// components. Front ends render SG1 and Memo2 and forward the operator's
// actions to the window handlers; they hold no logic of their own.
//
// Ownership: TForm1 owns its components (server, clients, timers), the three
// tables and the access lists; all live for the whole run. Everything runs on
// the event loop's thread.
class TForm1 {
 public:
  static constexpr int kMaxSlots = 4;
  static constexpr std::size_t kTrailLength = 50;
  static constexpr int kMemoLinesBeforeAdd = 50;
  static constexpr char kAcknowledgement[] = "\r\n+\r\n\r\n";
  static constexpr int kInfoCommand = 666;

  TForm1(EventLoop& loop, std::string programFolder);
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // The window the dispatcher shows itself in, none while there is none. The
  // one record of it: front ends set it and clear it again before the window
  // goes away, and whoever needs the window asks here.
  void setWindowHost(WindowHost* host) { window_ = host; }
  WindowHost* windowHost() const { return window_; }

  // Start-up and configuration.
  void FormCreate();

  // Log and debug trail.
  void ScrLog(std::string_view text);
  void AddDebugStep(std::string_view mark);
  [[noreturn]] void AppException(const std::exception& e);
  const std::string& DebugTrail() const { return trail_; }
  // Replaces the whole trail by "0", as start-up does.
  void StartDebugTrail() { trail_.assign(1, '0'); }

  // Encoder table and queues.
  // "Into the queue": queues the command for the named encoder (every
  // encoder when destination is empty), Repeat + 1 copies each.
  void DoFronty(const std::string& command, const std::string& destination);
  // "Out of the queue": takes the encoder's oldest command ("" when none).
  std::string ZFronty(int koder);
  // "Is the encoder served": some slot is bound to it (and connected, when
  // connectedRequired).
  bool KoderObsluhovan(int koder, bool connectedRequired);
  // "Free encoders": active encoders with commands waiting and no slot.
  int VolnychKoderu();
  // "Waited longest": the encoder whose oldest command is oldest, or -1.
  int CekaNejdyl(bool servedOnly);
  // "Active encoders": how many are neither suspended nor disabled.
  int PocetAktivnichKoderu();
  // "Free client": an idle sender slot, or -1.
  int VolnyClient();
  // Queue expiry tick: drops commands older than MaxSecondsInQueue.
  void TimerQTimer();

  // Dispatch cycle.
  // The dispatch tick: pairs idle slots with waiting encoders and gives
  // connected slots their encoder's next command.
  void TimerATimer();
  // "Send": binds the slot to the encoder and starts its connection.
  void Odesli(int koder, int slot);

  // Connection supervision.
  void Client1Connected(net::TCustomSocket* Sender);
  void Client2Connected(net::TCustomSocket* Sender);
  void Client3Connected(net::TCustomSocket* Sender);
  void Client4Connected(net::TCustomSocket* Sender);
  void Client1Disconnected(net::TCustomSocket* Sender);
  void Client2Disconnected(net::TCustomSocket* Sender);
  void Client3Disconnected(net::TCustomSocket* Sender);
  void Client4Disconnected(net::TCustomSocket* Sender);
  void Timer11Timer();
  void Timer22Timer();
  void Timer33Timer();
  void Timer44Timer();
  void Client1Error(net::TCustomSocket* Sender, int Socket, int ErrorCode,
                    const std::string& ErrorMsg);
  // "Temporary ban": suspends an encoder after ErrorLimit failures in a row.
  void DocasnyBan(int koder);
  // Resumes encoders whose SuspendForMinutes have passed.
  void TimerBTimer();

  // Network intake and access lists.
  void Server1ClientConnected(net::TCustomSocket* Sender, net::TSimpleTCPClient* Client);
  void Server1ClientDisconnected(net::TCustomSocket* Sender, net::TSimpleTCPClient* Client);
  void Server1ClientRead(net::TCustomSocket* Sender, net::TSimpleTCPClient* Client,
                         net::TMemoryStream& Stream);
  bool Banned(const std::string& address);
  bool InList(const std::vector<std::string>& list, const std::string& address);
  void LoadFile(const std::string& extension);

  // Hand-off receiver and command files.
  // A text handed over by a second copy of the program; false when it named
  // a command file that could not be read.
  bool WMHandOff(const std::string& received);
  // "From a file": queues the commands of the command file that a "FILE:"
  // text names.
  void ZeSouboru(const std::string& text);

  // Window behaviour.
  void SystemMenuCommand(int command);
  void FormClose();
  void CiaTray1DblClick();
  void Exit1Click();

  // State, public for the front ends and the tests.
  EventLoop& loop() const { return loop_; }
  const TConfig& Config() const { return config_; }
  std::vector<TKodery> Kodery;              // "encoders"
  std::vector<std::deque<TFronta>> Fronty;  // "queues", one per encoder
  std::vector<TOdesilace> Odesilace;        // "senders", one per slot
  std::vector<std::string> VipList;
  std::vector<std::string> BanList;
  TrafficCounters Counters;  // running totals, for the status window
  StatusTable SG1;           // the status table the window shows
  LogView Memo2;             // the on-screen log

  net::TSimpleTCPServer Server1;                             // producers' listener
  net::TSimpleTCPClient Client1, Client2, Client3, Client4;  // one per sender slot
  Timer TimerA;                                              // the dispatch tick
  Timer Timer1, Timer2, Timer3, Timer4;      // each slot's short close timer (1 s and up)
  Timer Timer11, Timer22, Timer33, Timer44;  // each slot's long close timer (5 s and up)
  Timer TimerQ;                              // queue expiry
  Timer TimerB;                              // resumption of suspended encoders

 private:
  // The parts in which the four sender slots differ.
  struct SlotParts {
    net::TSimpleTCPClient* client;
    Timer* shortTimer;
    Timer* longTimer;
    const char* thread;  // shown in the "Thread" column
    const char* connectedMark;
    const char* disconnectedMark;
    const char* timerMark;
  };
  void SlotConnected(int slot);
  void SlotDisconnected(int slot);
  void SlotTimer(int slot);
  void SlotWritten(int slot);
  // Closes a slot's connection on the dispatcher's own decision.
  void CloseSlot(int slot);
  // Whether a connected slot can take its next command: nothing of the last
  // one is still waiting to be written, and no close is pending.
  bool SlotReady(int slot) const;
  // A whole command has been written on the slot's connection.
  void CommandWritten(int slot);
  void DoFrontyFrom(const std::string& command, const std::string& destination,
                    const std::shared_ptr<ProducerShare>& share);
  // An entry leaves its queue: its producer's share shrinks.
  void Release(const TFronta& entry);
  // Sizes Kodery, Fronty and the rows of SG1 together for encoderCount
  // encoders and fills them from the configuration. Throws std::bad_alloc
  // when memory runs out; the caller then starts again with none.
  void BuildEncoderTables(const IniFile& ini, std::int32_t encoderCount);
  bool DeliversToOurselves(const TKodery& k) const;
  void RefreshQueueColumn(int koder);
  void RefreshQueueColumns();
  TDateTime Now() const { return loop_.clock().now(); }

  EventLoop& loop_;
  WindowHost* window_ = nullptr;
  TConfig config_;
  std::string trail_;
  std::array<SlotParts, kMaxSlots> slots_;
  // What the dispatcher knows of each slot's current connection.
  struct SlotRun {
    bool written = false;  // a whole command went out on it
    bool closing = false;  // to be closed once what was written has gone
    bool closedByUs = false;
    bool unwritten = false;  // a command taken from its queue is not written whole yet
    std::size_t lastInFlight = 0;
  };
  std::array<SlotRun, kMaxSlots> run_{};
  // The encoder each slot's client last dialled: its errors, which arrive
  // after the slot has been freed, are still that encoder's.
  std::array<int, kMaxSlots> dialled_{-1, -1, -1, -1};
};

// TDMI: the application title "Varnok (" + folder name + ")".
std::string TDMI_DataModuleCreate(const std::string& programFolder);

// Column numbers of SG1.
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
