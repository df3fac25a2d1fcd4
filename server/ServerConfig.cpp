#include "server/ServerConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cerrno>

namespace quorvin::server {

bool ServerConfig::loopbackListener() const {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(listenAddress, ec);
  return !ec && address.is_loopback();
}

std::optional<std::string> configProblem(const ServerConfig& config) {
  if (config.loopbackListener()) return std::nullopt;
  if (config.autoApproveHandle && !config.enrolSecret) {
    return "--auto-approve on an address other than loopback needs --enrol-secret-file: otherwise anyone who "
           "reaches the port could pair a machine with the account";
  }
  if (config.publicUrl.empty()) {
    return "listening on an address other than loopback needs --public-url: approval links would otherwise "
           "point other machines at localhost";
  }
  return std::nullopt;
}

std::optional<std::string> prepareDataFolder(const std::filesystem::path& dir) {
  // A new folder is made private; an existing one keeps its mode, since it may be shared with
  // others (--data /tmp), but is refused when others could swap the database under us.
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "cannot create the data folder " + dir.string();
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return dir.string() + " is not a folder";
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "the data folder " + dir.string() +
           " is writable by other users or owned by another; give --data a folder of your own";
  }
  return std::nullopt;
}

}  // namespace quorvin::server
