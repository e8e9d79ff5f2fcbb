// The dispatch cycle: one connection start or one send per tick.
#include "dispatcher/form1.h"

namespace varnok {

void TForm1::TimerATimer() {
  AddDebugStep("L");
  const int slot = VolnyClient();
  if (slot >= 0 && VolnychKoderu() >= 1) {
    const int koder = CekaNejdyl(false);
    if (koder != -1) Odesli(koder, slot);
  } else {
    const int koder = CekaNejdyl(true);
    if (koder != -1) {
      for (std::size_t k = 0; k < Odesilace.size(); ++k) {
        if (Odesilace[k].Koder == koder) Odesli(koder, static_cast<int>(k));
      }
    }
  }
  AddDebugStep(",");
}

void TForm1::Odesli(int koder, int slot) {
  AddDebugStep("K");
  TOdesilace& sender = Odesilace[static_cast<std::size_t>(slot)];
  net::TSimpleTCPClient& client = *slots_[static_cast<std::size_t>(slot)].client;

  if (sender.Koder == -1) {
    // Connect branch.
    if (Fronty[static_cast<std::size_t>(koder)].empty() || KoderObsluhovan(koder, false)) return;
    const TKodery& k = Kodery[static_cast<std::size_t>(koder)];
    const auto port = static_cast<std::uint16_t>(k.Port & 0xFFFF);
    if (!client.CanChangeTarget(k.Host, port)) {
      // The client is still busy with an earlier connection: close it and
      // let a later tick try again.
      CloseSlot(slot);
      return;
    }
    client.SetHost(k.Host);
    client.SetPort(port);
    sender.Koder = koder;
    dialled_[static_cast<std::size_t>(slot)] = koder;
    run_[static_cast<std::size_t>(slot)] = SlotRun{};
    client.SetConnected(true);
    return;
  }

  // Send branch.
  if (!sender.LinkUp || !SlotReady(slot)) return;
  const std::string command = ZFronty(koder);
  if (command.empty()) return;
  // What the socket cannot take at once is written as it drains; the next
  // command for this encoder waits until then.
  run_[static_cast<std::size_t>(slot)].unwritten = true;
  client.SendBuffer(command.data(), static_cast<int>(command.size()));
  if (client.PendingOutput() == 0) CommandWritten(slot);
  Timer& shortTimer = *slots_[static_cast<std::size_t>(slot)].shortTimer;
  shortTimer.setEnabled(false);
  shortTimer.setEnabled(true);
  AddDebugStep(",");
}

}  // namespace varnok
