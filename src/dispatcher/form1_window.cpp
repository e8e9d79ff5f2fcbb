// The window's own behaviour: Info, show/hide, exit and closing.
#include "dispatcher/form1.h"

namespace varnok {

void TForm1::SystemMenuCommand(int command) {
  AddDebugStep("H");
  if (command == kInfoCommand && window_) {
    window_->openDocument(config_.ProgramFolder + "varnok.txt");
  }
  AddDebugStep(",");
}

void TForm1::FormClose() {
  AddDebugStep("W");
  Server1.SetListen(false);
  for (int slot = 0; slot < kMaxSlots; ++slot) CloseSlot(slot);
  AddDebugStep(",");
}

void TForm1::CiaTray1DblClick() {
  AddDebugStep("f");
  if (window_) {
    if (window_->isShown()) {
      window_->hideWindow();
    } else {
      window_->showWindow();
    }
  }
  AddDebugStep(",");
}

void TForm1::Exit1Click() {
  AddDebugStep("j");
  if (window_) window_->closeWindow();
}

}  // namespace varnok
