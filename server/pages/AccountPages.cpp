#include "server/pages/Html.h"
#include "server/pages/Pages.h"

namespace quorvin::server::pages {

namespace {

std::string messageBlock(const std::string& message) {
  return message.empty() ? std::string() : "<p class=\"error\">" + html::escape(message) + "</p>";
}

}  // namespace

std::string approval(const std::string& code, const std::string& message, bool done) {
  std::string body = "<h1>Connect a machine</h1>";
  if (done) {
    body += "<p>Code <strong>" + html::escape(code) +
            "</strong> is approved. Return to Quorvin: the machine finishes pairing within a few seconds.</p>";
    return html::page("Quorvin: machine connected", body);
  }
  body += "<p>A machine asks to publish its usage to your profile with the code <strong>" + html::escape(code) +
          "</strong>. Check that the app shows the same code, then approve with your account's secret.</p>";
  body += messageBlock(message);
  body += "<form method=\"post\" action=\"/pair/" + html::escape(code) +
          "\"><p><label>Handle<br><input name=\"handle\" autocomplete=\"username\" required></label></p>"
          "<p><label>Account secret<br><input name=\"secret\" type=\"password\" autocomplete=\"current-password\" "
          "required></label></p><p><button type=\"submit\">Approve</button></p></form>"
          "<p class=\"muted\">No secret yet? The service's operator creates accounts with "
          "<code>quorvin-server account add HANDLE</code>.</p>";
  return html::page("Quorvin: approve a machine", body);
}

std::string connectSignIn(const std::string& message) {
  std::string body = "<h1>Your connected machines</h1>" + messageBlock(message);
  body +=
      "<form method=\"post\" action=\"/connect\"><p><label>Handle<br><input name=\"handle\" "
      "autocomplete=\"username\" required></label></p><p><label>Account secret<br><input name=\"secret\" "
      "type=\"password\" autocomplete=\"current-password\" required></label></p>"
      "<p><button type=\"submit\">Show machines</button></p></form>";
  return html::page("Quorvin: connected machines", body);
}

std::string connectDevices(const std::string& handle, const std::string& secret, const std::vector<Device>& devices,
                           const std::string& message) {
  std::string body = "<h1>Machines publishing to " + html::escape(handle) + "</h1>" + messageBlock(message);
  if (devices.empty()) {
    body += "<p class=\"muted\">No machine is paired yet.</p>";
  } else {
    body += "<table><tr><th>Machine</th><th>Paired</th><th>Last upload</th><th></th></tr>";
    for (const auto& d : devices) {
      body += "<tr><td>#" + std::to_string(d.id) + "</td><td>" + html::formatTime(d.createdMs) + "</td><td>" +
              (d.lastSeenMs ? html::formatTime(*d.lastSeenMs) : std::string("never")) + "</td><td>";
      if (d.revokedMs) {
        body += "disconnected " + html::formatTime(*d.revokedMs);
      } else {
        // The secret rides along in the form so that no session state is needed.
        body += "<form method=\"post\" action=\"/connect/revoke\"><input type=\"hidden\" name=\"handle\" value=\"" +
                html::escape(handle) + "\"><input type=\"hidden\" name=\"secret\" value=\"" + html::escape(secret) +
                "\"><input type=\"hidden\" name=\"device\" value=\"" + std::to_string(d.id) +
                "\"><button type=\"submit\">Disconnect</button></form>";
      }
      body += "</td></tr>";
    }
    body += "</table>";
  }
  body += "<p><a href=\"/" + html::escape(handle) + "\">Public profile</a></p>";
  return html::page("Quorvin: connected machines", body);
}

std::string home() {
  return html::page("Quorvin",
                    "<h1>Quorvin</h1><p>This service keeps public profiles of AI coding token usage, published "
                    "by the Quorvin app. Open a profile at <code>/HANDLE</code>, manage your machines at "
                    "<a href=\"/connect\">/connect</a>, or get the app at <a href=\"/download\">/download</a>.</p>");
}

std::string notFound() {
  return html::page("Quorvin: not found", "<h1>Not found</h1><p>There is nothing at this address.</p>");
}

std::string download(const std::optional<std::string>& version, const std::vector<DownloadEntry>& files) {
  std::string body = "<h1>Download Quorvin</h1>";
  if (version) body += "<p>Current release: <strong>" + html::escape(*version) + "</strong></p>";
  if (files.empty()) {
    body += "<p class=\"muted\">No release is published on this service.</p>";
  } else {
    body += "<table><tr><th>File</th><th>Size</th></tr>";
    for (const auto& f : files) {
      body += "<tr><td><a href=\"/downloads/" + html::escape(f.name) + "\">" + html::escape(f.name) +
              "</a></td><td>" + html::formatTokens(f.size) + " bytes</td></tr>";
    }
    body += "</table>";
  }
  return html::page("Quorvin: download", body);
}

}  // namespace quorvin::server::pages
