#include "support/tls_certificates.h"

#include <sys/stat.h>

#include <cstdlib>

#include "support/fixtures.h"

namespace {

// Runs the openssl command with arguments, quietly; true when it succeeded.
bool openssl(const std::string& arguments) {
  const std::string command = "/usr/bin/openssl " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

TestCertificates make_test_certificates(const std::string& directory) {
  TestCertificates made;
  made.directory = directory;
  struct stat info;
  if (stat("/usr/bin/openssl", &info) != 0) {
    made.failure = "openssl is not installed (scripts/test.sh installs it)";
    return made;
  }
  auto at = [&](const std::string& name) { return "'" + directory + "/" + name + "'"; };
  const std::string new_key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
  const std::string local = "DNS:localhost,IP:127.0.0.1";
  // A certificate for names (its subjectAltName), signed by the authority,
  // valid for days (-1: it expired a day ago).
  auto signed_one = [&](const std::string& name, const std::string& names, int days) {
    write_file(directory + "/" + name + ".ext", "subjectAltName=" + names + "\n");
    return openssl("req " + new_key + "-keyout " + at(name + ".key") + " -out " +
                   at(name + ".csr") + " -subj /CN=" + name) &&
           openssl("x509 -req -in " + at(name + ".csr") + " -CA " + at("ca.pem") + " -CAkey " +
                   at("ca.key") + " -CAcreateserial -out " + at(name + ".pem") + " -days " +
                   std::to_string(days) + " -extfile " + at(name + ".ext"));
  };
  made.ok = openssl("req -x509 " + new_key + "-keyout " + at("ca.key") + " -out " + at("ca.pem") +
                    " -days 2 -subj /CN=ravelok-test-authority") &&
            signed_one("server", local + ",IP:::1", 2) &&
            signed_one("other", "DNS:other.example", 2) && signed_one("expired", local, -1) &&
            openssl("req -x509 " + new_key + "-keyout " + at("self.key") + " -out " +
                    at("self.pem") + " -days 2 -subj /CN=localhost -addext subjectAltName=" + local);
  if (!made.ok) made.failure = "openssl could not make the test certificates";
  return made;
}
