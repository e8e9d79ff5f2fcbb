// The encoder table, the per-encoder queues and the sender slots.
#include "dispatcher/form1.h"
#include "platform/ini_file.h"

namespace varnok {

void TForm1::RefreshQueueColumn(int koder) {
  SG1.setCell(kColQueue, koder + 1, std::to_string(Fronty[static_cast<std::size_t>(koder)].size()));
}

void TForm1::RefreshQueueColumns() {
  for (std::size_t i = 0; i < Fronty.size(); ++i) RefreshQueueColumn(static_cast<int>(i));
}

void TForm1::DoFronty(const std::string& command, const std::string& destination) {
  DoFrontyFrom(command, destination, nullptr);
}

void TForm1::DoFrontyFrom(const std::string& command, const std::string& destination,
                          const std::shared_ptr<ProducerShare>& share) {
  AddDebugStep("A");
  if (command.empty()) return;
  const std::string target = upperAscii(destination);
  for (std::int32_t pass = 0; pass <= config_.Repeat; ++pass) {
    for (std::size_t i = 0; i < Kodery.size(); ++i) {
      const TKodery& k = Kodery[i];
      if (!k.Enabled) continue;
      if (!destination.empty() && upperAscii(k.Name) != target) continue;
      Fronty[i].push_back(TFronta{command, Now(), share});
      ++Counters.Queued;
      if (share) share->Waiting += static_cast<std::int64_t>(command.size());
    }
  }
  AddDebugStep("B");
  RefreshQueueColumns();
  AddDebugStep(",");
}

std::string TForm1::ZFronty(int koder) {
  AddDebugStep("C");
  if (koder < 0 || koder >= static_cast<int>(Fronty.size())) return {};
  auto& queue = Fronty[static_cast<std::size_t>(koder)];
  if (queue.empty()) return {};
  Release(queue.front());
  std::string command = std::move(queue.front().Command);
  queue.pop_front();
  AddDebugStep("D");
  RefreshQueueColumn(koder);
  AddDebugStep(",");
  return command;
}

bool TForm1::KoderObsluhovan(int koder, bool connectedRequired) {
  AddDebugStep("E");
  if (koder < 0) return false;
  bool served = false;
  for (const TOdesilace& slot : Odesilace) {
    if (slot.Koder == koder && (!connectedRequired || slot.LinkUp)) served = true;
  }
  AddDebugStep(",");
  return served;
}

int TForm1::VolnychKoderu() {
  AddDebugStep("F");
  int count = 0;
  for (std::size_t i = 0; i < Kodery.size(); ++i) {
    if (Kodery[i].Active && !KoderObsluhovan(static_cast<int>(i), false) && !Fronty[i].empty()) {
      ++count;
    }
  }
  AddDebugStep(",");
  return count;
}

int TForm1::CekaNejdyl(bool servedOnly) {
  AddDebugStep("G");
  if (VolnychKoderu() <= 0) servedOnly = true;
  int choice = -1;
  bool haveBound = false;
  TDateTime bound = 0;
  for (std::size_t i = 0; i < Kodery.size(); ++i) {
    const auto& queue = Fronty[i];
    if (queue.empty() || !Kodery[i].Active) continue;
    if (haveBound && !(queue.front().Queued < bound)) continue;
    bool linked = false;
    bool bound_to_slot = false;
    for (std::size_t k = 0; k < Odesilace.size(); ++k) {
      const TOdesilace& slot = Odesilace[k];
      if (slot.Koder != static_cast<int>(i)) continue;
      bound_to_slot = true;
      // A connection still writing its last command is not ready for the
      // next; the others are served meanwhile.
      if (slot.LinkUp && SlotReady(static_cast<int>(k))) linked = true;
    }
    if (servedOnly ? !linked : bound_to_slot) continue;
    choice = static_cast<int>(i);
    bound = queue.front().Queued;
    haveBound = true;
  }
  AddDebugStep(",");
  return choice;
}

void TForm1::Release(const TFronta& entry) {
  ProducerShare* share = entry.Share.get();
  if (share == nullptr) return;
  share->Waiting -= static_cast<std::int64_t>(entry.Command.size());
  // Read again once half of the bound has drained, not at every entry.
  if (!share->Paused || share->Waiting > config_.ProducerBacklogBytes / 2) return;
  share->Paused = false;
  if (const auto connection = share->Connection.lock()) (*connection)->SetReadPaused(false);
}

int TForm1::PocetAktivnichKoderu() {
  AddDebugStep("Q");
  int count = 0;
  for (const TKodery& k : Kodery) count += k.Active ? 1 : 0;
  AddDebugStep(",");
  return count;
}

int TForm1::VolnyClient() {
  AddDebugStep("J");
  int idle = -1;
  for (std::size_t k = 0; k < Odesilace.size(); ++k) {
    if (Odesilace[k].Koder < 0) idle = static_cast<int>(k);
  }
  AddDebugStep(",");
  return idle;
}

void TForm1::TimerQTimer() {
  AddDebugStep("n");
  const TDateTime now = Now();
  const std::int64_t longest = config_.MaxSecondsInQueue;
  for (auto& queue : Fronty) {
    // Only heads are removed, so the pass ends at the first entry that stays.
    while (!queue.empty() && secondsBetween(now, queue.front().Queued) > longest) {
      Release(queue.front());
      queue.pop_front();
      ++Counters.Expired;
    }
  }
  RefreshQueueColumns();
  AddDebugStep(",");
}

}  // namespace varnok
