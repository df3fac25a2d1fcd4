#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/TempFolder.h"

namespace quorvin::test {

// The real quorvin-server binary on 127.0.0.1 with a port of its choosing, its standard output
// in `folder`; killed without warning when it goes out of scope.
class ServerProcess {
 public:
  ServerProcess(const fs::path& folder, const std::vector<std::string>& arguments) {
    const std::string binary = std::string(QUORVIN_BINARY_DIR) + "/server/quorvin-server";
    const fs::path out = folder / ("server-out-" + std::to_string(++started()) + ".txt");
    std::vector<std::string> words = {binary, "--listen", "127.0.0.1:0"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // Everything is prepared before fork: the child of a threaded process may only exec.
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(null, 0);
      ::dup2(fd, 1);
      ::dup2(null, 2);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fd);
    ::close(null);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
      const std::string text = readFile(out);
      if (text.starts_with("listening on ") && text.find('\n') != std::string::npos) {
        port_ = std::stoi(text.substr(text.rfind(':') + 1));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // process start-up, not a timed assertion
      }
    }
  }
  ~ServerProcess() { kill(SIGKILL); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Sends `signal`, reaps the process and returns its wait status.
  int kill(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  int port() const { return port_; }
  std::string url(const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  static int& started() {
    static int count = 0;
    return count;
  }
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace quorvin::test
