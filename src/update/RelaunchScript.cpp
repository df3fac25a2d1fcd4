#include "update/RelaunchScript.h"

#include <sstream>

namespace quorvin {

std::string RelaunchScript::shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string RelaunchScript::regexLiteral(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string RelaunchScript::text() const {
  const auto q = [](const std::filesystem::path& p) { return shellQuote(p.string()); };
  const std::string cur = q(currentApp), next = q(stagedApp), bak = q(backupApp), ready = q(readyFile),
                    tar = q(tarball), self = q(script);
  const std::string exe = shellQuote(executableOf(currentApp).string());
  // pgrep and pkill read their pattern as a regular expression: a path with '.', '+' or
  // brackets must match only itself.
  const std::string exePattern = shellQuote(regexLiteral(executableOf(currentApp).string()));
  const std::string assignment = shellQuote(std::string(kMarkerVariable) + "=" + readyFile.string());

  std::ostringstream s;
  s << "#!/bin/sh\n"
    << "set -u\n"
    << "while kill -0 " << currentPid << " 2>/dev/null; do\n"
    << "  sleep 0.2\n"
    << "done\n"
    << "/bin/rm -rf " << bak << ' ' << ready << "\n"
    << "if /bin/mv " << cur << ' ' << bak << " && /bin/mv " << next << ' ' << cur << "; then\n"
    << "  if /usr/bin/setsid -f /usr/bin/env " << assignment << ' ' << exe << " </dev/null >/dev/null 2>&1; then\n"
    << "    attempts=0\n"
    << "    while [ \"$attempts\" -lt " << kReadinessChecks << " ]; do\n"
    << "      if [ -s " << ready << " ] && /usr/bin/pgrep -f -x " << exePattern << " >/dev/null 2>&1; then\n"
    << "        sleep 5\n"
    << "        if /usr/bin/pgrep -f -x " << exePattern << " >/dev/null 2>&1; then\n"
    << "          /bin/rm -rf " << bak << ' ' << tar << ' ' << self << ' ' << ready << "\n"
    << "          exit 0\n"
    << "        fi\n"
    << "      fi\n"
    << "      attempts=$((attempts + 1))\n"
    << "      sleep 0.25\n"
    << "    done\n"
    << "  fi\n"
    << "  /usr/bin/pkill -f -x " << exePattern << " >/dev/null 2>&1 || true\n"
    << "  /bin/rm -rf " << cur << "\n"
    << "fi\n"
    << "if [ ! -e " << cur << " ] && [ -e " << bak << " ]; then\n"
    << "  /bin/mv " << bak << ' ' << cur << "\n"
    << "fi\n"
    << "/usr/bin/setsid -f " << exe << " </dev/null >/dev/null 2>&1\n"
    << "/bin/rm -f " << tar << ' ' << self << ' ' << ready << "\n"
    << "exit 1\n";
  return s.str();
}

}  // namespace quorvin
