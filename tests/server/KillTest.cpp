#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/CurlHttpClient.h"
#include "publishing/Api.h"
#include "wire/Crypto.h"
#include "server/storage/AccountStore.h"
#include "server/storage/Database.h"
#include "server/storage/UsageStore.h"

namespace quorvin::server {
namespace {

namespace fs = std::filesystem;

// The real binary, killed without warning between uploads: every answered upload is on disk.
class ServerProcess {
 public:
  explicit ServerProcess(const fs::path& dir) : dir_(dir) {
    const std::string binary = std::string(QUORVIN_BINARY_DIR) + "/server/quorvin-server";
    const std::string out = (dir_ / ("out-" + crypto::randomHex(4) + ".txt")).string();
    const std::string data = (dir_ / "data").string();
    // Everything is prepared before fork: the child of a threaded process may only exec.
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fd, 1);
      ::execl(binary.c_str(), binary.c_str(), "--data", data.c_str(), "--listen", "127.0.0.1:0", "--auto-approve",
              "alice", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fd);
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      std::ifstream in(out);
      std::string line;
      if (std::getline(in, line) && line.rfind("listening on ", 0) == 0) {
        port_ = std::stoi(line.substr(line.rfind(':') + 1));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // process start-up, not a timed assertion
      }
    }
  }
  ~ServerProcess() { kill(SIGKILL); }
  int kill(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  std::string api() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

template <class T>
T await(boost::asio::io_context& io, boost::asio::awaitable<T> task) {
  auto future = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
  io.restart();
  io.run();
  return future.get();
}

TEST(ServerProcessTest, KillNineLosesNothingAnsweredAndTermStopsCleanly) {
  const fs::path dir = fs::temp_directory_path() / ("quorvin-kill-" + crypto::randomHex(6));
  fs::create_directories(dir / "data");
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    AccountStore(db).addAccount("alice", 0);
  }
  boost::asio::io_context io;
  CurlHttpClient http;
  std::string token;
  int64_t lastAnswered = 0;
  {
    ServerProcess server(dir);
    ASSERT_NE(server.port(), 0);
    auto pair = await(io, API::createPair(http, server.api()));
    token = await(io, API::pollPair(http, server.api(), pair.code, pair.deviceSecret))->token;
    for (int64_t total = 1; total <= 200; ++total) {
      API::Totals t;
      t.total = total;
      if (await(io, API::ingest(http, server.api(), token, "alice", "", t, {"laptop", "1"}))) lastAnswered = total;
    }
    server.kill(SIGKILL);
  }
  ASSERT_EQ(lastAnswered, 200);
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    auto q = db.query("PRAGMA integrity_check");
    ASSERT_TRUE(q.step());
    EXPECT_EQ(q.text(0), "ok");
  }
  ServerProcess restarted(dir);
  API::Totals same;
  same.total = 200;
  auto accepted = await(io, API::ingest(http, restarted.api(), token, "alice", "", same, {"laptop", "1"}));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->total, 200);
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    EXPECT_EQ(UsageStore(db).accountSum(1, 0).total, 200);
  }
  const int status = restarted.kill(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvin::server
