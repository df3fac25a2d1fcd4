#pragma once

#include <filesystem>
#include <string>

namespace quorvin::test {

// A throw-away certificate authority and one server certificate it signed, made in-process with
// OpenSSL 3 (no openssl command) into a fresh temporary folder that the destructor removes.
//
// The server certificate names localhost, 127.0.0.1 and ::1 and is valid from an hour ago for a
// day. Point a server at certFile()/keyFile() and a client at caFile() (QUORVIN_CA_FILE or
// CurlHttpClient::Options::caFile). A second TestCertificates is a different, unknown CA: use it
// to show that a client refuses a server it has no reason to trust.
//
// Construction throws std::runtime_error when OpenSSL fails (it does not in practice).
class TestCertificates {
 public:
  TestCertificates();
  ~TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path caFile() const { return directory_ / "ca.pem"; }      // CA certificate (PEM)
  std::filesystem::path certFile() const { return directory_ / "server.pem"; }  // server certificate (PEM)
  std::filesystem::path keyFile() const { return directory_ / "server.key"; }  // server key (PEM, 0600)

  const std::string& caPem() const { return caPem_; }
  const std::string& certPem() const { return certPem_; }
  const std::string& keyPem() const { return keyPem_; }

 private:
  std::filesystem::path directory_;
  std::string caPem_;
  std::string certPem_;
  std::string keyPem_;
};

}  // namespace quorvin::test
