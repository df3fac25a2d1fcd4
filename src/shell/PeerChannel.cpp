#include "shell/PeerChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>

#include "core/Log.h"

namespace quorvin {

namespace {

using boost::asio::local::stream_protocol;

// One accepted connection: read one line, answer it, close.
struct Session : std::enable_shared_from_this<Session> {
  Session(stream_protocol::socket s, PeerChannel::Handler& h)
      : socket(std::move(s)), buffer(PeerChannel::kMaxMessageBytes), handler(h) {}

  void start() {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        !PeerChannel::acceptsPeer(credentials.uid, ::geteuid())) {
      logLine("Quorvin refused a peer connection from another user");
      return;  // closing the socket is the answer
    }
    auto self = shared_from_this();
    boost::asio::async_read_until(socket, buffer, '\n', [self](const boost::system::error_code& error, std::size_t) {
      if (error) return;
      std::istream in(&self->buffer);
      std::string line;
      std::getline(in, line);
      self->reply = self->handler(line) + "\n";
      boost::asio::async_write(self->socket, boost::asio::buffer(self->reply),
                               [self](const boost::system::error_code&, std::size_t) {});
    });
  }

  stream_protocol::socket socket;
  boost::asio::streambuf buffer;
  PeerChannel::Handler& handler;
  std::string reply;
};

bool fitsSocketAddress(const std::filesystem::path& path) { return path.native().size() < sizeof(sockaddr_un{}.sun_path); }

}  // namespace

std::filesystem::path PeerChannel::defaultPath(const Paths& paths) {
  if (auto runtime = paths.appRuntimeDir()) return *runtime / "peer.sock";
  return paths.appDataDir() / "peer.sock";
}

PeerChannel::PeerChannel(boost::asio::io_context& context, std::filesystem::path socket, Handler handler)
    : path_(std::move(socket)), handler_(std::move(handler)), acceptor_(context) {}

PeerChannel::~PeerChannel() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  if (listening_) ::unlink(path_.c_str());
}

std::optional<std::string> PeerChannel::listen() {
  if (!fitsSocketAddress(path_)) return "the socket path is too long: " + path_.string();
  if (!ensurePrivateDirectory(path_.parent_path())) return "cannot use the folder " + path_.parent_path().string();
  // Only a socket is replaced: a regular file of that name is someone else's.
  struct stat info {};
  if (::lstat(path_.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return path_.string() + " exists and is not a socket";
    ::unlink(path_.c_str());
  }
  boost::system::error_code error;
  acceptor_.open(stream_protocol(), error);
  if (!error) acceptor_.bind(stream_protocol::endpoint(path_.string()), error);
  if (!error) acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) return "cannot listen on " + path_.string() + ": " + error.message();
  ::chmod(path_.c_str(), 0600);
  listening_ = true;
  accept();
  return std::nullopt;
}

void PeerChannel::accept() {
  acceptor_.async_accept([this](const boost::system::error_code& error, stream_protocol::socket socket) {
    if (error == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!error) std::make_shared<Session>(std::move(socket), handler_)->start();
    accept();
  });
}

std::optional<std::string> PeerChannel::request(const std::filesystem::path& socket, std::string_view message,
                                                std::chrono::milliseconds wait) {
  if (!fitsSocketAddress(socket)) return std::nullopt;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
  std::string line = std::string(message.substr(0, kMaxMessageBytes - 1)) + "\n";
  std::string reply;
  bool complete = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
    char chunk[4096];
    pollfd readable{fd, POLLIN, 0};
    while (reply.size() < kMaxReplyBytes && ::poll(&readable, 1, static_cast<int>(wait.count())) > 0) {
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      reply.append(chunk, static_cast<std::size_t>(got));
      if (reply.back() == '\n') {
        complete = true;
        break;
      }
    }
  }
  ::close(fd);
  if (!complete) return std::nullopt;
  reply.pop_back();
  return reply;
}

}  // namespace quorvin
