#include "test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace testsupport {

namespace {

constexpr long kDay = 24 * 60 * 60;

EVP_PKEY* NewKey() { return EVP_EC_gen("P-256"); }

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

X509* NewCert(const std::string& commonName, EVP_PKEY* key, long fromSeconds, long toSeconds) {
  static long serial = 1;
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), toSeconds);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

template <typename Writer>
bool WritePem(const std::string& path, Writer write) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = write(file);
  return std::fclose(file) == 0 && ok;
}

}  // namespace

TestCa::TestCa(const std::string& dir, const std::string& name)
    : dir_(dir), certFile_(dir + "/" + name + ".pem") {
  EVP_PKEY* key = NewKey();
  X509* cert = key != nullptr ? NewCert(name, key, -kDay, 30 * kDay) : nullptr;
  key_ = key;
  cert_ = cert;
  if (cert == nullptr) return;
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  ok_ = AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
        AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
        AddExtension(cert, cert, NID_subject_key_identifier, "hash") &&
        X509_sign(cert, key, EVP_sha256()) > 0 &&
        WritePem(certFile_, [cert](FILE* f) { return PEM_write_X509(f, cert) == 1; });
}

TestCa::~TestCa() {
  X509_free(static_cast<X509*>(cert_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

bool TestCa::Issue(const std::string& file, const CertRequest& request) const {
  if (!ok_) return false;
  auto* caCert = static_cast<X509*>(cert_);
  EVP_PKEY* key = NewKey();
  if (key == nullptr) return false;
  X509* cert = request.expired ? NewCert(request.commonName, key, -10 * kDay, -kDay)
                               : NewCert(request.commonName, key, -kDay, 30 * kDay);
  bool ok = cert != nullptr;
  if (ok) {
    X509_set_issuer_name(cert, X509_get_subject_name(caCert));
    std::string alt;
    for (const std::string& a : request.addresses) alt += (alt.empty() ? "IP:" : ",IP:") + a;
    for (const std::string& n : request.names) alt += (alt.empty() ? "DNS:" : ",DNS:") + n;
    ok = AddExtension(cert, caCert, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert, caCert, NID_ext_key_usage, "serverAuth,clientAuth") &&
         AddExtension(cert, caCert, NID_authority_key_identifier, "keyid") &&
         (alt.empty() || AddExtension(cert, caCert, NID_subject_alt_name, alt)) &&
         X509_sign(cert, static_cast<EVP_PKEY*>(key_), EVP_sha256()) > 0 &&
         WritePem(CertPath(file), [cert](FILE* f) { return PEM_write_X509(f, cert) == 1; }) &&
         WritePem(KeyPath(file), [key](FILE* f) {
           return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
         });
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace testsupport
