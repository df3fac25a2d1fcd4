#include <charconv>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "wire/JsonFields.h"
#include "server/Service.h"
#include "server/http/ConnectionLimits.h"
#include "server/pages/Pages.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

namespace {

struct SignIn {
  std::optional<Account> account;
  std::string handle;
  std::string secret;
  bool limited = false;  // too many wrong secrets lately: not even tried
};

constexpr const char* wrongSecret = "The handle or secret is wrong.";
constexpr const char* tooManyTries = "Too many wrong secrets. Wait a few minutes and try again.";

// Wrong secrets are counted per client address and per account, and past their budget the
// secret is not even checked, so guessing is slowed to a few tries a minute.
SignIn signIn(Service& service, const Request& request) {
  const auto form = parseForm(request.body);
  SignIn result;
  auto value = [&](const char* key) {
    auto it = form.find(key);
    return it == form.end() ? std::string() : it->second;
  };
  result.handle = normalisedHandle(value("handle"));
  result.secret = value("secret");
  if (result.handle.empty() || result.secret.empty()) return result;
  auto& limits = service.limiters();
  const int64_t now = service.nowMs();
  const std::string client = clientKey(request.clientAddress);
  if (!limits.failuresByAddress.hasBudget(client, now) || !limits.failuresByAccount.hasBudget(result.handle, now)) {
    result.limited = true;
    return result;
  }
  result.account = service.accounts().authenticate(result.handle, result.secret);
  if (!result.account) {
    limits.failuresByAddress.spend(client, now);
    limits.failuresByAccount.spend(result.handle, now);
  }
  return result;
}

Response refusedSignIn(const SignIn& login, const std::function<std::string(const std::string&)>& page) {
  return login.limited ? Response::html(429, page(tooManyTries)) : Response::html(403, page(wrongSecret));
}

}  // namespace

Response approvalPage(Service& service, const Request& request, const std::string& code) {
  constexpr const char* unknown = "This code is unknown or has expired. Start pairing again in the app.";
  if (!wellFormedPairCode(code)) return Response::html(404, pages::approval(code, unknown, false));
  // Every code of the right form gets the same form: only a signed-in account owner learns
  // whether a code is live, so the page cannot be used to find pending codes.
  if (request.method != "POST") return Response::html(200, pages::approval(code, "", false));
  auto login = signIn(service, request);
  if (!login.account) {
    auto page = [&](const std::string& message) { return pages::approval(code, message, false); };
    return refusedSignIn(login, page);
  }
  const int64_t now = service.nowMs();
  auto pairCode = service.accounts().pairCode(code);
  if (!pairCode || now >= pairCode->expiresMs) return Response::html(404, pages::approval(code, unknown, false));
  if (pairCode->accountId == login.account->id) return Response::html(200, pages::approval(code, "", true));
  if (!service.accounts().approvePairCode(code, login.account->id, now, pairCodeLifetimeMs)) {
    return Response::html(409, pages::approval(code, "This code can no longer be approved.", false));
  }
  return Response::html(200, pages::approval(code, "", true));
}

Response connectPage(Service& service, const Request& request) {
  if (request.method != "POST") return Response::html(200, pages::connectSignIn(""));
  auto login = signIn(service, request);
  if (!login.account) return refusedSignIn(login, pages::connectSignIn);
  return Response::html(200, pages::connectDevices(login.handle, login.secret,
                                                   service.accounts().devices(login.account->id), ""));
}

Response revokeDevice(Service& service, const Request& request) {
  auto login = signIn(service, request);
  if (!login.account) return refusedSignIn(login, pages::connectSignIn);
  const auto form = parseForm(request.body);
  int64_t deviceId = 0;
  std::string message = "That machine is not connected.";
  if (auto it = form.find("device"); it != form.end()) {
    const auto& text = it->second;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), deviceId);
    if (ec == std::errc() && end == text.data() + text.size() &&
        service.accounts().revokeDevice(login.account->id, deviceId, service.nowMs())) {
      message = "Machine #" + std::to_string(deviceId) + " is disconnected.";
    }
  }
  return Response::html(200, pages::connectDevices(login.handle, login.secret,
                                                   service.accounts().devices(login.account->id), message));
}

Response profilePage(Service& service, const Request&, const std::string& handleText) {
  const std::string handle = normalisedHandle(handleText);
  auto account = handle.empty() ? std::nullopt : service.accounts().account(handle);
  if (!account) return notFound(Request{});
  pages::ProfileData data;
  data.handle = account->handle;
  data.summary = service.usage().profileSummary(account->id);
  data.head = service.oracle().head(account->id, account->handle);
  return Response::html(200, pages::profile(data));
}

Response downloadPage(Service& service, const Request&) {
  std::vector<pages::DownloadEntry> files;
  std::optional<std::string> version;
  if (const auto& dir = service.config().downloadsDir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(*dir, ec)) {
      if (!entry.is_regular_file(ec) || entry.is_symlink(ec)) continue;
      const std::string name = entry.path().filename().string();
      if (name.starts_with('.')) continue;
      files.push_back({name, static_cast<int64_t>(entry.file_size(ec))});
      if (name == "quorvin-mac.manifest.json" && entry.file_size(ec) < 64 * 1024) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (auto doc = json_fields::parseDocument(text); doc && doc->is_object()) {
          std::string v;
          if (json_fields::readString(doc->get_object(), "appVersion", v)) version = v;
        }
      }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  }
  return Response::html(200, pages::download(version, files));
}

Response homePage(Service&, const Request&) { return Response::html(200, pages::home()); }

Response profileScript(const Service&, const Request&) {
  Response response;
  response.contentType = "text/javascript; charset=utf-8";
  response.body = pages::profileScript();
  response.headers.emplace_back("Cache-Control", "max-age=300");
  return response;
}

Response notFound(const Request& request) {
  if (request.path.starts_with("/api/")) return Response::jsonError(404, "no such endpoint");
  return Response::html(404, pages::notFound());
}

}  // namespace quorvin::server::routes
