#pragma once

#include <sys/types.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Paths.h"

namespace quorvin {

// The running copy's Unix socket: a later launch asks it to show itself ("show-popover"), and
// `quorvin status` asks for its state ("status"). One request line in, one reply line out.
// Peers of another user are refused (SO_PEERCRED). Only the holder of the single-instance lock
// listens, so a socket file found at start-up is a crashed copy's and is replaced.
class PeerChannel {
 public:
  static constexpr std::string_view kShowPopover = "app.quorvin.menubar.show-popover";
  static constexpr std::string_view kStatus = "status";
  static constexpr std::size_t kMaxMessageBytes = 4096;
  static constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

  // Answers one request on the executor of the io_context; the reply has no line feed.
  using Handler = std::function<std::string(std::string_view request)>;

  // $XDG_RUNTIME_DIR/quorvin/peer.sock, else peer.sock in the data folder.
  static std::filesystem::path defaultPath(const Paths& paths);

  PeerChannel(boost::asio::io_context& context, std::filesystem::path socket, Handler handler);
  ~PeerChannel();
  PeerChannel(const PeerChannel&) = delete;
  PeerChannel& operator=(const PeerChannel&) = delete;

  // Makes the folder private, replaces a leftover socket and starts accepting. An error text
  // when it cannot listen.
  std::optional<std::string> listen();

  // Whether a connection from `peer` may talk to a copy run by `self`.
  static bool acceptsPeer(uid_t peer, uid_t self) { return peer == self; }

  // Client side, blocking: sends `message` and returns the reply; none when nothing listens
  // or no reply came within `wait`.
  static std::optional<std::string> request(const std::filesystem::path& socket, std::string_view message,
                                            std::chrono::milliseconds wait = std::chrono::seconds(5));

 private:
  void accept();

  std::filesystem::path path_;
  Handler handler_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  bool listening_ = false;
};

}  // namespace quorvin
