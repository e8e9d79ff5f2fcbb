// Commands from producers over TCP, and the access lists.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "dispatcher/form1.h"
#include "platform/regular_file.h"

namespace varnok {

void TForm1::Server1ClientConnected(net::TCustomSocket*, net::TSimpleTCPClient* Client) {
  AddDebugStep("d");
  ScrLog("Client " + Client->Host() + ":" + std::to_string(Client->Port()) + " connected");
  AddDebugStep(",");
}

void TForm1::Server1ClientDisconnected(net::TCustomSocket*, net::TSimpleTCPClient* Client) {
  AddDebugStep("e");
  ScrLog("Client " + Client->Host() + ":" + std::to_string(Client->Port()) + " disconnected");
  AddDebugStep(",");
}

void TForm1::Server1ClientRead(net::TCustomSocket*, net::TSimpleTCPClient* Client,
                               net::TMemoryStream& Stream) {
  AddDebugStep("I");
  std::string text = Stream.Bytes;
  const bool banned = Banned(Client->Host());
  auto share = std::static_pointer_cast<ProducerShare>(Client->Data);
  if (!share && !text.empty()) {
    // The lists give the same answer for the whole connection: it is
    // counted once, at its first chunk.
    share = std::make_shared<ProducerShare>();
    share->Connection = Client->Handle();
    Client->Data = share;
    ++(banned ? Counters.ProducersRefused : Counters.ProducersAccepted);
  }
  if (banned) text.clear();
  if (text.empty()) return;
  // A failed acknowledgement raises out of here, so the command is not queued.
  Server1.SendBuffer(Client, kAcknowledgement, static_cast<int>(sizeof kAcknowledgement - 1));
  ++Counters.ReceivedTcp;
  DoFrontyFrom(text, "", share);
  // Push back instead of dropping: while this producer has more waiting
  // than its bound, it is not read, and TCP slows it down alone.
  if (config_.ProducerBacklogBytes > 0 && share->Waiting > config_.ProducerBacklogBytes) {
    share->Paused = true;
    Client->SetReadPaused(true);
  }
  AddDebugStep(",");
}

bool TForm1::Banned(const std::string& address) {
  AddDebugStep("l");
  bool result = false;
  if (InList(BanList, address)) {
    result = true;
    if (InList(VipList, address)) result = false;
  }
  AddDebugStep(",");
  return result;
}

bool TForm1::InList(const std::vector<std::string>& list, const std::string& address) {
  AddDebugStep("k");
  bool result = false;
  for (const std::string& entry : list) {
    const std::size_t star = entry.find('*');
    if (star == std::string::npos) {
      if (entry == address) result = true;
    } else if (address.size() >= star && address.compare(0, star, entry, 0, star) == 0) {
      result = true;
    }
  }
  AddDebugStep(",");
  return result;
}

void TForm1::LoadFile(const std::string& extension) {
  AddDebugStep("m");
  const std::string path = config_.ProgramFolder + "varnok." + extension;
  std::vector<std::string>* list = nullptr;
  if (extension == "vip") list = &VipList;
  if (extension == "ban") list = &BanList;

  std::string line;
  bool longLine = false;
  auto endLine = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!longLine && !line.empty() && line.size() < 16 && list) list->push_back(line);
    line.clear();
    longLine = false;
  };
  // Only a regular file is read (a FIFO or a device in its place must not
  // block), piece by piece: a huge list costs no more memory than a short one.
  // A failed read keeps the lines before it.
  readRegularFileInPieces(path, [&](std::string_view piece) {
    for (const char c : piece) {
      if (c == '\n') {
        endLine();
      } else if (line.size() <= 16) {
        line.push_back(c);
      } else {
        longLine = true;  // a list line is short; drop the rest unread
      }
    }
    return true;
  });
  endLine();
  AddDebugStep(",");
}

}  // namespace varnok
