#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/Service.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

namespace {

bool safeFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_' || c == '+';
    if (!ok) return false;
  }
  return true;
}

std::string contentTypeFor(const std::string& name) {
  if (name.ends_with(".json")) return "application/json";
  if (name.ends_with(".txt")) return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

Response download(const Service& service, const Request& request) {
  const auto& dir = service.config().downloadsDir;
  const std::string name = request.path.substr(std::string("/downloads/").size());
  if (!dir || !safeFileName(name)) return Response::text(404, "Not found\n");
  // Only regular files directly in the folder; a symbolic link could point anywhere.
  const auto path = *dir / name;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Response::text(404, "Not found\n");
  Response response;
  response.contentType = contentTypeFor(name);
  response.file = path;
  response.headers.emplace_back("Cache-Control", "no-cache");
  return response;
}

}  // namespace quorvin::server::routes
