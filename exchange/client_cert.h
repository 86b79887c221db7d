// The client certificate a job offers over HTTPS (mutual TLS): its files
// read and the key checked before anything is connected.
#pragma once

#include <string>

#include "platform/tls.h"
#include "services/errors.h"

// What the job's settings name.
struct ClientCertificate {
  std::string certificate;  // ClientCert: a PEM or PKCS#12 file, or on Windows cert:STORE\My\THUMBPRINT
  std::string key;          // ClientKey: a PEM key file; empty: the key is in ClientCert
  std::string password;     // ClientKeyPassword, its ${NAME} taken already; never shown
};

// Loads the credential certificate names, nullptr when it names none. On a
// failure, nullptr with it in failure (step client_cert, index 1 when it
// lies in the ClientKey file): the file's open or read error (53 when it
// is missing), 54 when it holds no certificate or no key, the password does
// not open it or the key does not match. The password is never in the
// words. findings tells whether the certificate has expired or is not yet
// valid.
TlsClientCredential* load_client_certificate(Failure& failure, const ClientCertificate& certificate,
                                             TlsClientFindings& findings);
