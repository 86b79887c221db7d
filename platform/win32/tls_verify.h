// The Win32 backend's own check of a TLS server's certificate, on
// CryptoAPI, made after the handshake, and the words for the certificate
// statuses Schannel's own checks give.
#pragma once

// win32.h first: it brings windows.h, which wincrypt.h needs.
#include "platform/win32/win32.h"

#include <wincrypt.h>

#include <string>
#include <vector>

#include "platform/tls.h"

// Checks server, the certificate the server showed (its store holding the
// certificates it sent with it; nullptr: it showed none), and frees it: the
// chain against roots alone (DER; none: the system's store) and peer
// against the certificate. nullptr when it passes, else the words for the
// first check it fails.
const char* certificate_verdict(PCCERT_CONTEXT server, const TlsPeer& peer,
                                const std::vector<std::string>& roots);

// The words for a certificate status of Schannel's handshake, nullptr when
// the library's own message says it better.
const char* certificate_status_words(LONG status);
