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
  // Servers' keys are P-256; issuers' are RSA, whose signatures have one
  // length: Wine's chain engine rejects an ECDSA signature whose r or s is
  // shorter than the curve (one certificate in about a hundred), which
  // would fail a Windows run at random.
  const std::string new_key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
  const std::string issuer_key = "-newkey rsa:2048 -nodes ";
  const std::string local = "subjectAltName=DNS:localhost,IP:127.0.0.1";
  // A certificate with the given extension lines, signed by issuer, valid
  // for days (-1: it expired a day ago). A server's Common Name is localhost,
  // so that a check that fell back to it would pass; an issuer's is its own.
  auto issue = [&](const std::string& name, const std::string& issuer, const std::string& extensions,
                   int days) {
    write_file(directory + "/" + name + ".ext", extensions + "\n");
    const bool signs = extensions.find("CA:") != std::string::npos;
    return openssl("req " + (signs ? issuer_key : new_key) + "-keyout " + at(name + ".key") + " -out " +
                   at(name + ".csr") + " -subj /CN=" + (signs ? name : "localhost")) &&
           openssl("x509 -req -in " + at(name + ".csr") + " -CA " + at(issuer + ".pem") + " -CAkey " +
                   at(issuer + ".key") + " -CAcreateserial -out " + at(name + ".pem") + " -days " +
                   std::to_string(days) + " -extfile " + at(name + ".ext"));
  };
  // NAME_chain.pem: the certificate and its issuer, as a server sends them.
  auto chain = [&](const std::string& name, const std::string& issuer) {
    return write_file(directory + "/" + name + "_chain.pem",
                      read_file(directory + "/" + name + ".pem") + read_file(directory + "/" + issuer + ".pem"));
  };
  const std::string authority = "basicConstraints=critical,CA:TRUE";
  made.ok = openssl("req -x509 " + issuer_key + "-keyout " + at("ca.key") + " -out " + at("ca.pem") +
                    " -days 2 -subj /CN=ravelok-test-authority") &&
            issue("server", "ca", local + ",IP:::1", 2) &&
            issue("other", "ca", "subjectAltName=DNS:other.example", 2) &&
            issue("expired", "ca", local, -1) &&
            openssl("req -x509 " + new_key + "-keyout " + at("self.key") + " -out " +
                    at("self.pem") + " -days 2 -subj /CN=localhost -addext " + local) &&
            // Names: a Common Name alone, addresses alone, wildcards.
            issue("cn_only", "ca", "", 2) &&
            issue("ip_only", "ca", "subjectAltName=IP:127.0.0.1", 2) &&
            issue("dns_address", "ca", "subjectAltName=DNS:127.0.0.1", 2) &&
            issue("ten", "ca", "subjectAltName=IP:127.0.0.10", 2) &&
            issue("wildcard", "ca", "subjectAltName=DNS:*.test.example", 2) &&
            issue("broad", "ca", "subjectAltName=DNS:*.example", 2) &&
            issue("partial", "ca", "subjectAltName=DNS:w*.test.example", 2) &&
            // Chains: through an intermediate, an expired one, an issuer
            // that is no authority; a key for clients only.
            issue("inter", "ca", authority, 2) && issue("via_inter", "inter", local, 2) &&
            chain("via_inter", "inter") &&
            issue("inter_expired", "ca", authority, -1) &&
            issue("via_expired", "inter_expired", local, 2) && chain("via_expired", "inter_expired") &&
            issue("not_ca", "ca", "basicConstraints=CA:FALSE", 2) &&
            issue("via_not_ca", "not_ca", local, 2) && chain("via_not_ca", "not_ca") &&
            issue("client_only", "ca", local + "\nextendedKeyUsage=clientAuth", 2) &&
            // Client certificates: client.pem (CN ravelok-test-client) with
            // its key apart, in client_both.pem, encrypted (client_enc.key)
            // and in client.p12 (both with the password s3cret-pass); and
            // stranger.pem (and .p12) from another authority.
            // RSA: Wine's Schannel hands a client key to GnuTLS as an RSA blob.
            openssl("req " + issuer_key + "-keyout " + at("client.key") + " -out " + at("client.csr") +
                    " -subj /CN=ravelok-test-client") &&
            openssl("x509 -req -in " + at("client.csr") + " -CA " + at("ca.pem") + " -CAkey " + at("ca.key") +
                    " -CAcreateserial -out " + at("client.pem") + " -days 2") &&
            write_file(directory + "/client_both.pem",
                       read_file(directory + "/client.pem") + read_file(directory + "/client.key")) &&
            openssl("pkey -in " + at("client.key") + " -aes256 -passout pass:s3cret-pass -out " +
                    at("client_enc.key")) &&
            openssl("pkcs12 -export -in " + at("client.pem") + " -inkey " + at("client.key") +
                    " -passout pass:s3cret-pass -out " + at("client.p12")) &&
            openssl("req -x509 " + issuer_key + "-keyout " + at("stranger.key") + " -out " + at("stranger.pem") +
                    " -days 2 -subj /CN=ravelok-test-stranger") &&
            openssl("pkcs12 -export -in " + at("stranger.pem") + " -inkey " + at("stranger.key") +
                    " -passout pass:s3cret-pass -out " + at("stranger.p12")) &&
            // A key below 112-bit security.
            openssl("req -newkey rsa:1024 -nodes -keyout " + at("weak.key") + " -out " + at("weak.csr") +
                    " -subj /CN=localhost") &&
            openssl("x509 -req -in " + at("weak.csr") + " -CA " + at("ca.pem") + " -CAkey " + at("ca.key") +
                    " -CAcreateserial -out " + at("weak.pem") + " -days 2 -extfile " + at("server.ext"));
  if (!made.ok) made.failure = "openssl could not make the test certificates";
  return made;
}
