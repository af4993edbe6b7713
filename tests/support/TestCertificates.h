// Throw-away certificates for TLS tests and benchmarks: a certificate authority made in memory
// (P-256 key, SHA-256 signatures) that issues server certificates with chosen names and
// validity, handed out as PEM texts or written to files for a server to load.
//
// Header-only on purpose: the support library does not link OpenSSL, the programs that use this
// do.
//
// Thread-safety: an authority may be used by one thread at a time.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testpki {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

// A server certificate (followed by nothing else: the authority is the trust anchor) and its
// private key, as PEM texts.
struct Issued {
  std::string certificate_pem;
  std::string key_pem;
};

inline void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

inline Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  return key;
}

inline void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `subject_key`, valid from `from_days` to `to_days` (relative to now),
// signed by `issuer` with `issuer_key` (self-signed when issuer is null).
inline Cert MakeCertificate(const std::string& common_name, EVP_PKEY* subject_key, X509* issuer,
                            EVP_PKEY* issuer_key, long from_days, long to_days, long serial) {
  Cert cert(X509_new());
  Check(cert != nullptr, "x509");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_time_adj_ex(X509_getm_notBefore(cert.get()), static_cast<int>(from_days), 0, nullptr);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(to_days), 0, nullptr);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert.get(), subject_key);
  return cert;
}

inline std::string ToPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  return pem;
}

inline std::string ToPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  return pem;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  Check(static_cast<bool>(out), "write file");
}

class Authority {
 public:
  explicit Authority(const std::string& name) : key_(NewKey()) {
    cert_ = MakeCertificate(name, key_.get(), nullptr, key_.get(), -1, 3650, 1);
    AddExtension(cert_.get(), cert_.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert_.get(), cert_.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert_.get(), cert_.get(), NID_subject_key_identifier, "hash");
    Check(X509_sign(cert_.get(), key_.get(), EVP_sha256()) > 0, "sign authority");
  }

  std::string CertificatePem() const { return ToPem(cert_.get()); }

  // A server certificate for `names` ("DNS:localhost,IP:127.0.0.1"), valid from `from_days` to
  // `to_days` relative to now (negative days lie in the past).
  Issued Issue(const std::string& names, long from_days = -1, long to_days = 365) {
    Key key = NewKey();
    Cert cert = MakeCertificate("velmora test server", key.get(), cert_.get(), key_.get(),
                                from_days, to_days, ++serial_);
    AddExtension(cert.get(), cert_.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), cert_.get(), NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), cert_.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), cert_.get(), NID_subject_alt_name, names);
    AddExtension(cert.get(), cert_.get(), NID_authority_key_identifier, "keyid:always");
    Check(X509_sign(cert.get(), key_.get(), EVP_sha256()) > 0, "sign server");
    return {ToPem(cert.get()), ToPem(key.get())};
  }

  // Issues as above and writes "<stem>.crt" and "<stem>.key"; gives {certificate, key} paths.
  std::pair<std::string, std::string> IssueFiles(const std::string& stem, const std::string& names,
                                                 long from_days = -1, long to_days = 365) {
    Issued issued = Issue(names, from_days, to_days);
    WriteFile(stem + ".crt", issued.certificate_pem);
    WriteFile(stem + ".key", issued.key_pem);
    return {stem + ".crt", stem + ".key"};
  }

 private:
  Key key_;
  Cert cert_;
  long serial_ = 1;
};

}  // namespace testpki
