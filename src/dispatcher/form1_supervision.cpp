// Supervision of the sender slots' connections: connection events, idle and
// longest-stay timers, failure counting, suspension and resumption.
#include "dispatcher/form1.h"
#include "platform/application.h"

namespace varnok {

void TForm1::Client1Connected(net::TCustomSocket*) {
  SlotConnected(0);
}
void TForm1::Client2Connected(net::TCustomSocket*) {
  SlotConnected(1);
}
void TForm1::Client3Connected(net::TCustomSocket*) {
  SlotConnected(2);
}
void TForm1::Client4Connected(net::TCustomSocket*) {
  SlotConnected(3);
}
void TForm1::Client1Disconnected(net::TCustomSocket*) {
  SlotDisconnected(0);
}
void TForm1::Client2Disconnected(net::TCustomSocket*) {
  SlotDisconnected(1);
}
void TForm1::Client3Disconnected(net::TCustomSocket*) {
  SlotDisconnected(2);
}
void TForm1::Client4Disconnected(net::TCustomSocket*) {
  SlotDisconnected(3);
}
void TForm1::Timer11Timer() {
  SlotTimer(0);
}
void TForm1::Timer22Timer() {
  SlotTimer(1);
}
void TForm1::Timer33Timer() {
  SlotTimer(2);
}
void TForm1::Timer44Timer() {
  SlotTimer(3);
}

void TForm1::SlotConnected(int slot) {
  const SlotParts& parts = slots_[static_cast<std::size_t>(slot)];
  AddDebugStep(parts.connectedMark);
  // Only a slot that exists and is bound has an encoder to report on; a
  // client that connected on its own touches no encoder and no row.
  if (slot >= static_cast<int>(Odesilace.size())) {
    parts.client->SetConnected(false);
    AddDebugStep(",");
    return;
  }
  TOdesilace& sender = Odesilace[static_cast<std::size_t>(slot)];
  if (sender.Koder < 0) {
    parts.client->SetConnected(false);
    AddDebugStep(",");
    return;
  }
  sender.LinkUp = true;
  // ErrorsInRow goes back to 0 once a command has gone out on it, not here:
  // an encoder that takes connections and drops them must still add up.
  run_[static_cast<std::size_t>(slot)] = SlotRun{};
  parts.longTimer->setEnabled(true);
  parts.shortTimer->setEnabled(true);
  SG1.setCell(kColThread, sender.Koder + 1, parts.thread);
  AddDebugStep(",");
}

void TForm1::SlotDisconnected(int slot) {
  const SlotParts& parts = slots_[static_cast<std::size_t>(slot)];
  AddDebugStep(parts.disconnectedMark);
  parts.longTimer->setEnabled(false);
  parts.shortTimer->setEnabled(false);
  if (slot >= static_cast<int>(Odesilace.size())) return;
  TOdesilace& sender = Odesilace[static_cast<std::size_t>(slot)];
  if (sender.Koder == -1) {
    sender.LinkUp = false;
    return;
  }
  const int koder = sender.Koder;
  TKodery& k = Kodery[static_cast<std::size_t>(koder)];
  const SlotRun run = run_[static_cast<std::size_t>(slot)];
  run_[static_cast<std::size_t>(slot)] = SlotRun{};
  const std::size_t lost = sender.LinkUp ? parts.client->BytesLostOnClose() : 0;
  if (run.unwritten) ++Counters.FailedSends;
  SG1.setCell(kColThread, koder + 1, "");
  // A connection that the encoder ended before a command could go out on it
  // is no better than a refused one.
  const bool droppedEarly = sender.LinkUp && !run.written && !run.closedByUs &&
                            (lost > 0 || !Fronty[static_cast<std::size_t>(koder)].empty());
  if (droppedEarly) {
    ScrLog("Connection closed by the encoder before any command was sent (" + k.Name + ")");
  }
  if (lost > 0) {
    ScrLog("Connection ended with " + std::to_string(lost) + " bytes of commands not delivered (" +
           k.Name + ")");
  }
  if (!sender.LinkUp || droppedEarly) {
    // The attempt failed before the connection was established.
    ++k.Errors;
    ++k.ErrorsInRow;
    if (k.ErrorsInRow >= config_.ErrorLimit) DocasnyBan(koder);
    SG1.setCell(kColErrors, koder + 1, std::to_string(k.Errors));
  }
  sender.Koder = -1;
  sender.LinkUp = false;
  AddDebugStep(",");
}

void TForm1::SlotWritten(int slot) {
  if (slot >= static_cast<int>(Odesilace.size())) return;
  const TOdesilace& sender = Odesilace[static_cast<std::size_t>(slot)];
  if (sender.Koder >= 0 && sender.LinkUp) CommandWritten(slot);
}

void TForm1::CommandWritten(int slot) {
  SlotRun& run = run_[static_cast<std::size_t>(slot)];
  run.written = true;
  if (run.unwritten) ++Counters.Delivered;  // once per command, however it drained
  run.unwritten = false;
  Kodery[static_cast<std::size_t>(Odesilace[static_cast<std::size_t>(slot)].Koder)].ErrorsInRow = 0;
}

bool TForm1::SlotReady(int slot) const {
  return !run_[static_cast<std::size_t>(slot)].closing &&
         slots_[static_cast<std::size_t>(slot)].client->PendingOutput() == 0;
}

void TForm1::CloseSlot(int slot) {
  run_[static_cast<std::size_t>(slot)].closedByUs = true;
  slots_[static_cast<std::size_t>(slot)].client->SetConnected(false);
}

void TForm1::SlotTimer(int slot) {
  const SlotParts& parts = slots_[static_cast<std::size_t>(slot)];
  AddDebugStep(parts.timerMark);
  SlotRun& run = run_[static_cast<std::size_t>(slot)];
  if (PocetAktivnichKoderu() <= static_cast<int>(Odesilace.size())) {
    run.closing = false;  // a close that was waiting is no longer wanted
    return;
  }
  // The abortive close would throw away what the encoder has not taken yet.
  // While it keeps taking, the close waits (and no further command is
  // given); an encoder that took nothing since the last tick is closed.
  const std::size_t inFlight = parts.client->OutputInFlight();
  if (inFlight > 0 && (!run.closing || inFlight < run.lastInFlight)) {
    run.closing = true;
    run.lastInFlight = inFlight;
    return;
  }
  CloseSlot(slot);
  parts.shortTimer->setEnabled(false);
  parts.longTimer->setEnabled(false);
  AddDebugStep(",");
}

void TForm1::Client1Error(net::TCustomSocket* Sender, int, int ErrorCode,
                          const std::string& ErrorMsg) {
  AddDebugStep("T");
  // Only an encoder's own connection names it, also when the error comes
  // after its slot was freed; the listener and the producers' connections
  // are nobody's encoder.
  std::size_t slot = kMaxSlots;
  if (Sender == &Client1) slot = 0;
  if (Sender == &Client2) slot = 1;
  if (Sender == &Client3) slot = 2;
  if (Sender == &Client4) slot = 3;
  std::string suffix;
  if (slot < Odesilace.size()) {
    const int koder = Odesilace[slot].Koder >= 0 ? Odesilace[slot].Koder : dialled_[slot];
    if (koder >= 0) suffix = " (" + Kodery[static_cast<std::size_t>(koder)].Name + ")";
  }
  if (ErrorCode != net::kWsaENotSock) {
    ScrLog("Socket Error " + std::to_string(ErrorCode) + " - " + ErrorMsg + suffix);
  }
  AddDebugStep(",");
  if (ErrorCode == net::kWsaENotSock) return;
  throw SilentAbort();
}

void TForm1::DocasnyBan(int koder) {
  AddDebugStep("o");
  if (koder < 0) return;
  TKodery& k = Kodery[static_cast<std::size_t>(koder)];
  k.Active = false;
  k.SuspendedAt = Now();
  SG1.setCell(kColEnabled, koder + 1, "Suspended");
  AddDebugStep(",");
}

void TForm1::TimerBTimer() {
  AddDebugStep("p");
  const TDateTime now = Now();
  for (std::size_t i = 0; i < Kodery.size(); ++i) {
    TKodery& k = Kodery[i];
    if (k.Enabled && !k.Active && minutesBetween(now, k.SuspendedAt) >= config_.SuspendForMinutes) {
      k.Active = true;
      k.ErrorsInRow = 0;
      SG1.setCell(kColEnabled, static_cast<int>(i) + 1, "Yes");
    }
  }
  AddDebugStep(",");
}

}  // namespace varnok
