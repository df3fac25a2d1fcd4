#include "support/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace quorvin::test {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using CertPtr = std::unique_ptr<X509, Free>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("TestCertificates: ") + what);
}

KeyPtr makeKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  require(key != nullptr, "EVP_EC_gen");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  require(ext != nullptr, "X509V3_EXT_conf_nid");
  require(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

CertPtr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey) {
  CertPtr cert(X509_new());
  require(cert != nullptr, "X509_new");
  require(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");

  unsigned char serial[16];
  require(RAND_bytes(serial, sizeof serial) == 1, "RAND_bytes");
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  require(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr, "serial");
  BN_free(bn);

  // An hour of slack either way keeps a slightly skewed test machine happy.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);

  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorvin tests"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                             0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  require(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
  require(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");

  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer == nullptr) {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
  }
  require(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string pemOf(X509* cert) {
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
  return bioText(bio.get());
}

std::string pemOf(EVP_PKEY* key) {
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
  return bioText(bio.get());
}

void writeFile(const std::filesystem::path& path, const std::string& text, bool secret) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  require(static_cast<bool>(out), "write");
  if (secret) ::chmod(path.c_str(), 0600);
}

}  // namespace

TestCertificates::TestCertificates() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvin-tls-XXXXXX").string();
  require(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  directory_ = pattern;

  KeyPtr caKey = makeKey();
  CertPtr ca = makeCertificate(caKey.get(), "Quorvin test CA", nullptr, caKey.get());
  KeyPtr serverKey = makeKey();
  CertPtr server = makeCertificate(serverKey.get(), "localhost", ca.get(), caKey.get());

  caPem_ = pemOf(ca.get());
  certPem_ = pemOf(server.get());
  keyPem_ = pemOf(serverKey.get());
  writeFile(caFile(), caPem_, false);
  writeFile(certFile(), certPem_, false);
  writeFile(keyFile(), keyPem_, true);
}

TestCertificates::~TestCertificates() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace quorvin::test
