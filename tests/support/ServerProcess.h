#pragma once

// A real quorvin-server process on 127.0.0.1 (plain HTTP, an ephemeral port) for tests that
// run other real programs against it. Killed with SIGKILL when dropped.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace quorvin::test {

class ServerProcess {
 public:
  // `arguments` come after --data and --listen (for example {"--auto-approve", "alice"}).
  ServerProcess(std::filesystem::path binary, const std::filesystem::path& dir, std::vector<std::string> arguments) {
    const std::string out = (dir / "quorvin-server.out").string();
    const std::string data = (dir / "data").string();
    std::vector<std::string> words{binary.string(), "--data", data, "--listen", "127.0.0.1:0"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // Everything is prepared before fork: the child of a threaded process may only exec.
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fd, 1);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fd);
    for (int i = 0; i < 500 && port_ == 0; ++i) {
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
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Sends the signal and reaps the process; its wait status.
  int kill(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  int port() const { return port_; }
  std::string api() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace quorvin::test
