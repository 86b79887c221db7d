// Test certificates for the TLS tests, made at test time with the openssl
// command in a directory of the test's own; no key is ever kept.
#pragma once

#include <string>

// Each server certificate has its key beside it (NAME.pem, NAME.key). The
// authority's certificate is ca.pem; server.pem (signed by it) names
// localhost, 127.0.0.1 and ::1, other.pem (signed by it) names
// other.example only, expired.pem (signed by it) names localhost and
// 127.0.0.1 but expired a day ago, and self.pem names localhost and
// 127.0.0.1 and is signed by its own key. Signed by the authority too:
// cn_only.pem (CN=localhost, no subjectAltName), ip_only.pem (IP:127.0.0.1),
// dns_address.pem (DNS:127.0.0.1), ten.pem (IP:127.0.0.10), wildcard.pem
// (DNS:*.test.example), broad.pem (DNS:*.example), partial.pem
// (DNS:w*.test.example), client_only.pem (localhost, for client
// authentication only), and the intermediates inter.pem, inter_expired.pem
// and not_ca.pem (no authority), each with a certificate for localhost
// signed by it (via_inter, via_expired, via_not_ca; NAME_chain.pem holds
// it followed by its issuer). Every server certificate has the Common Name
// localhost. weak.pem (for localhost and 127.0.0.1 too) has a 1,024-bit
// RSA key. Client certificates: client.pem (CN=ravelok-test-client,
// signed by the authority) with client.key, client_enc.key (the key
// encrypted with the password s3cret-pass), client_both.pem (certificate
// and key in one file), client.p12 (PKCS#12, the same password); and
// stranger.pem with stranger.key (and stranger.p12), self-signed.
struct TestCertificates {
  bool ok = false;
  std::string failure;    // why they could not be made
  std::string directory;  // where they are
  std::string file(const std::string& name) const { return directory + "/" + name; }
};

// Makes them in directory; ok is false when openssl is missing or fails.
TestCertificates make_test_certificates(const std::string& directory);
