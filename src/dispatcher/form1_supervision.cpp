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
  Kodery[static_cast<std::size_t>(sender.Koder)].ErrorsInRow = 0;
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
  SG1.setCell(kColThread, koder + 1, "");
  if (!sender.LinkUp) {
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

void TForm1::SlotTimer(int slot) {
  const SlotParts& parts = slots_[static_cast<std::size_t>(slot)];
  AddDebugStep(parts.timerMark);
  if (PocetAktivnichKoderu() <= static_cast<int>(Odesilace.size())) return;
  parts.client->SetConnected(false);
  parts.shortTimer->setEnabled(false);
  parts.longTimer->setEnabled(false);
  AddDebugStep(",");
}

void TForm1::Client1Error(net::TCustomSocket* Sender, int, int ErrorCode,
                          const std::string& ErrorMsg) {
  AddDebugStep("T");
  std::size_t slot = 0;
  if (Sender == &Client2) slot = 1;
  if (Sender == &Client3) slot = 2;
  if (Sender == &Client4) slot = 3;
  std::string suffix;
  if (slot < Odesilace.size() && Odesilace[slot].Koder >= 0) {
    suffix = " (" + Kodery[static_cast<std::size_t>(Odesilace[slot].Koder)].Name + ")";
  }
  if (ErrorCode != 10038) {
    ScrLog("Socket Error " + std::to_string(ErrorCode) + " - " + ErrorMsg + suffix);
  }
  AddDebugStep(",");
  if (ErrorCode == 10038) return;
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
