// A certificate authority for tests, made with OpenSSL in memory: it issues server and client
// certificates (with IP addresses and names in subjectAltName, valid or already expired) as
// PEM files in a folder of the test. Elliptic-curve keys, so that making one costs little.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct CertRequest {
  std::string commonName;
  std::vector<std::string> addresses;  // IP addresses for subjectAltName
  std::vector<std::string> names;      // DNS names for subjectAltName
  bool expired = false;                // valid from 10 days ago until yesterday
};

class TestCa {
 public:
  // A self-signed CA "CN=<name>", its certificate written to dir/<name>.pem.
  TestCa(const std::string& dir, const std::string& name);
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  bool ok() const { return ok_; }
  const std::string& certFile() const { return certFile_; }
  // Issues a certificate for `request`: dir/<file>.pem (the certificate) and dir/<file>.key.
  // false when it cannot be made or written.
  bool Issue(const std::string& file, const CertRequest& request) const;
  std::string CertPath(const std::string& file) const { return dir_ + "/" + file + ".pem"; }
  std::string KeyPath(const std::string& file) const { return dir_ + "/" + file + ".key"; }

 private:
  std::string dir_;
  std::string certFile_;
  void* key_ = nullptr;   // EVP_PKEY
  void* cert_ = nullptr;  // X509
  bool ok_ = false;
};

}  // namespace testsupport
