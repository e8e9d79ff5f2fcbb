// The operator's log and the debug trail.
#include "dispatcher/form1.h"
#include "platform/application.h"

namespace varnok {

void TForm1::AddDebugStep(std::string_view mark) {
  trail_.append(mark);
  if (trail_.size() > kTrailLength) trail_.erase(0, trail_.size() - kTrailLength);
}

void TForm1::ScrLog(std::string_view text) {
  AddDebugStep("c");
  while (Memo2.lineCount() > kMemoLinesBeforeAdd) Memo2.deleteFirstLine();
  std::string line = "<";
  line.append(formatDateTime(Now())).append("> ").append(text);
  Memo2.addLine(std::move(line));
  AddDebugStep(",");
}

void TForm1::AppException(const std::exception& e) {
  AddDebugStep("U");
  std::string text = "Application Error - ";
  text.append(e.what()).append(" (Debug: ").append(trail_).append(")");
  ScrLog(text);
  AddDebugStep(",");
  throw SilentAbort();
}

}  // namespace varnok
