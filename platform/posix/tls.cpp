// POSIX backend: TLS client sessions with OpenSSL 3, the only file that
// includes OpenSSL's headers. The library is loaded (dlopen) the first time
// a run asks for a session, not linked: loading libssl and libcrypto at
// every start would cost a plain-HTTP job about as long as the whole job
// takes. The system's shared library is used either way, so its security
// updates reach the program; the headers only give the types.
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/posix.h"
#include "platform/tls.h"

#if OPENSSL_VERSION_MAJOR != 3
#error "the TLS backend is written for OpenSSL 3 (libssl.so.3)"
#endif

namespace {

constexpr const char* kLibraryName = "libssl.so.3";

// Every library function the backend calls, resolved by name from libssl
// (and libcrypto, which libssl loads). The types come from the headers, so
// a call through the table is checked as a direct call would be.
#define RAVELOK_TLS_FUNCTIONS(F)                                                              \
  F(TLS_client_method) F(SSL_CTX_new) F(SSL_CTX_free) F(SSL_CTX_ctrl) F(SSL_CTX_set_options) \
  F(SSL_CTX_set_verify) F(SSL_CTX_set_default_verify_dir) F(SSL_CTX_get_cert_store)          \
  F(SSL_CTX_get_security_level) F(SSL_CTX_set_security_level) F(SSL_CTX_get_ciphers)         \
  F(SSL_CTX_set_cipher_list) F(SSL_CTX_set_ciphersuites) F(SSL_CIPHER_get_auth_nid)          \
  F(SSL_CIPHER_get_cipher_nid) F(SSL_CIPHER_get_name) F(SSL_CIPHER_get_version)              \
  F(OPENSSL_sk_num) F(OPENSSL_sk_value)                               \
  F(SSL_new) F(SSL_free) F(SSL_set_fd) F(SSL_ctrl) F(SSL_set1_host) F(SSL_get0_param)        \
  F(SSL_set_msg_callback) F(SSL_version) F(SSL_get0_peer_certificate)                        \
  F(SSL_connect) F(SSL_get_error) F(SSL_get_verify_result) F(SSL_read) F(SSL_write)          \
  F(SSL_has_pending) F(SSL_shutdown) F(SSL_is_init_finished) F(X509_STORE_add_cert)          \
  F(X509_free) F(d2i_X509) F(ERR_get_error)                                                  \
  F(ERR_peek_error) F(ERR_clear_error) F(ERR_reason_error_string)                            \
  F(X509_verify_cert_error_string) F(X509_VERIFY_PARAM_set1_ip)                              \
  F(X509_VERIFY_PARAM_set_hostflags) F(OPENSSL_init_ssl)                                   \
  F(BIO_new_mem_buf) F(BIO_free) F(PEM_read_bio_X509) F(PEM_read_bio_PrivateKey)             \
  F(d2i_PKCS12_bio) F(PKCS12_parse) F(PKCS12_free) F(EVP_PKEY_free) F(X509_check_private_key) \
  F(SSL_CTX_use_certificate) F(SSL_CTX_use_PrivateKey) F(X509_cmp_current_time)              \
  F(X509_get0_notBefore) F(X509_get0_notAfter) F(OPENSSL_sk_free) F(ERR_peek_last_error)

struct Library {
  bool tried = false;
  bool loaded = false;
  std::string failure;  // why it could not be loaded
#define RAVELOK_TLS_MEMBER(name) decltype(&::name) name = nullptr;
  RAVELOK_TLS_FUNCTIONS(RAVELOK_TLS_MEMBER)
#undef RAVELOK_TLS_MEMBER
};

Library g_library;

// Loads the library once; false (with the reason kept) when it or one of
// its functions is missing.
bool load_library() {
  Library& lib = g_library;
  if (lib.tried) return lib.loaded;
  lib.tried = true;
  // Never closed: the process ends with the library loaded.
  void* handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    lib.failure = std::string("cannot load ") + kLibraryName + ": " + (text ? text : "");
    return false;
  }
#define RAVELOK_TLS_RESOLVE(name)                                                     \
  lib.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));               \
  if (lib.name == nullptr) {                                                          \
    lib.failure = std::string(kLibraryName) + " lacks " #name;                        \
    return false;                                                                     \
  }
  RAVELOK_TLS_FUNCTIONS(RAVELOK_TLS_RESOLVE)
#undef RAVELOK_TLS_RESOLVE
  // The system's configuration (openssl.cnf) is read as usual; the
  // library's clean-up at exit is left out: the process ends right after
  // the one session, and the system frees its memory faster.
  if (lib.OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) != 1) {
    lib.failure = "cannot start the TLS library";
    return false;
  }
  lib.loaded = true;
  return true;
}

}  // namespace

struct TlsClientCredential {
  X509* certificate = nullptr;
  EVP_PKEY* key = nullptr;
  std::vector<X509*> chain;  // the issuers sent after the certificate
};

struct TlsSession {
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  // A fatal error happened: no close-notify may follow it.
  bool failed = false;
  // The handshake and its checks have passed.
  bool established = false;
  // The server asked to renegotiate once they had.
  bool renegotiation_asked = false;
};

namespace {

void record_tls_failure(ErrorNumber& error_code, const std::string& reason) {
  remember_failure_reason(reason.c_str());
  set_error(error_code, kErrSocket);
}

void free_session(TlsSession* session) {
  if (session == nullptr) return;
  if (session->ssl != nullptr) g_library.SSL_free(session->ssl);
  if (session->context != nullptr) g_library.SSL_CTX_free(session->context);
  delete session;
}

// Reads der as one whole certificate; nullptr when it is not one.
X509* certificate_of(const std::string& der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
  X509* certificate = g_library.d2i_X509(nullptr, &at, static_cast<long>(der.size()));
  if (certificate != nullptr &&
      at != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    // Bytes after the certificate: not one whole certificate.
    g_library.X509_free(certificate);
    certificate = nullptr;
  }
  g_library.ERR_clear_error();
  return certificate;
}

// Puts every certificate of roots in the context's store; false when one
// cannot be read or added.
bool add_roots(SSL_CTX* context, const std::vector<std::string>& roots) {
  X509_STORE* store = g_library.SSL_CTX_get_cert_store(context);
  for (const std::string& der : roots) {
    X509* certificate = certificate_of(der);
    if (certificate == nullptr) return false;
    const int added = g_library.X509_STORE_add_cert(store, certificate);
    g_library.X509_free(certificate);
    if (added != 1) return false;
  }
  g_library.ERR_clear_error();
  return true;
}

// The lowest security level a session may run at, whatever openssl.cnf
// says: 2 (112-bit security: RSA and DH keys of 2,048 bits at least, no
// SHA-1 signatures), the default OpenSSL is built with from 3.2 on and the
// one Debian builds 3.0 with; a build whose own default is lower gets no
// weaker sessions for it.
constexpr int kSecurityFloor = 2;

// Drops every cipher suite that does not authenticate the server or does
// not encrypt from what the system's policy enables, keeping its order and
// everything else it chose. False when the library refuses the result.
bool drop_unauthenticated_suites(SSL_CTX* context) {
  Library& lib = g_library;
  const STACK_OF(SSL_CIPHER)* enabled = lib.SSL_CTX_get_ciphers(context);
  if (enabled == nullptr) return false;
  std::string older;  // TLS 1.2 and before
  std::string newer;  // TLS 1.3
  bool dropped = false;
  const int count = lib.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(enabled));
  for (int i = 0; i < count; ++i) {
    const SSL_CIPHER* cipher = static_cast<const SSL_CIPHER*>(
        lib.OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(enabled), i));
    if (cipher == nullptr) continue;
    if (lib.SSL_CIPHER_get_auth_nid(cipher) == NID_auth_null ||
        lib.SSL_CIPHER_get_cipher_nid(cipher) == NID_undef) {
      dropped = true;
      continue;
    }
    const char* version = lib.SSL_CIPHER_get_version(cipher);
    std::string& list = version != nullptr && std::strcmp(version, "TLSv1.3") == 0 ? newer : older;
    if (!list.empty()) list += ':';
    list += lib.SSL_CIPHER_get_name(cipher);
  }
  if (!dropped) return true;
  if (lib.SSL_CTX_set_ciphersuites(context, newer.c_str()) != 1) return false;
  if (older.empty()) {
    // Nothing authenticated is left below TLS 1.3.
    return lib.SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_3_VERSION, nullptr) == 1;
  }
  return lib.SSL_CTX_set_cipher_list(context, older.c_str()) == 1;
}

// Watches the session's incoming messages for a server's HelloRequest
// after the handshake: the library refuses it quietly and the session
// would go on, so the program ends it. The library tells of the message
// only through this hook, whose parameters it lays down.
void watch_messages(int write_p, int /*version*/, int content_type, const void* buf, size_t len,
                    SSL* /*ssl*/, void* arg) {
  if (write_p != 0 || content_type != SSL3_RT_HANDSHAKE || len == 0 || arg == nullptr) return;
  if (static_cast<const unsigned char*>(buf)[0] != SSL3_MT_HELLO_REQUEST) return;
  TlsSession* session = static_cast<TlsSession*>(arg);
  if (session->established) session->renegotiation_asked = true;
}

// The words for a certificate check that failed.
std::string verify_reason(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "expired certificate";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "certificate not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "name mismatch";
    case X509_V_ERR_INVALID_PURPOSE:
      return "not a server certificate";
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "untrusted authority";
    default:
      break;
  }
  return std::string("untrusted certificate: ") + g_library.X509_verify_cert_error_string(result);
}

// True for the alerts a server sends when it does not take the client's
// certificate (or wants one and got none).
bool client_refused(int reason) {
  switch (reason - SSL_AD_REASON_OFFSET) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED:
      return true;
    default:
      return false;
  }
}

// The words for a library error of a session: a plain-text answer where a
// handshake record was due is "not TLS".
std::string library_reason(const char* prefix, unsigned long error) {
  const int reason = ERR_GET_REASON(error);
  if (ERR_GET_LIB(error) == ERR_LIB_SSL &&
      (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
       reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_HTTP_REQUEST)) {
    return "not TLS";
  }
  const char* text = error != 0 ? g_library.ERR_reason_error_string(error) : nullptr;
  if (ERR_GET_LIB(error) == ERR_LIB_SSL && reason > SSL_AD_REASON_OFFSET && text != nullptr && client_refused(reason)) {
    // The library's words are "sslv3 alert bad certificate" and the like:
    // the alert's own name is kept.
    const char* alert = std::strstr(text, "alert ");
    return std::string("the server refused the client certificate: ") + (alert != nullptr ? alert + 6 : text);
  }
  return std::string(prefix) + ": " + (text != nullptr ? text : "unknown library error");
}

// What one library call on a session gave, and errno right after it.
struct LibraryCall {
  int result = 0;
  int saved_errno = 0;
};

// Why a call on a session moved nothing.
struct Stall {
  TlsWait wait = TlsWait::none;  // what it needs, when that is all
  bool closed = false;           // the peer closed the connection
  std::string reason;            // why it failed; empty when the peer
                                 // closed cleanly
};

// What a call that moved nothing is waiting for: true with stall.wait set
// when it only needs the socket; false when it failed, with stall.reason
// set (empty when the peer closed cleanly), each reason after prefix.
bool classify(TlsSession* session, const LibraryCall& call, const char* prefix, Stall& stall) {
  Library& lib = g_library;
  stall.closed = false;
  switch (lib.SSL_get_error(session->ssl, call.result)) {
    case SSL_ERROR_WANT_READ:
      stall.wait = TlsWait::readable;
      return true;
    case SSL_ERROR_WANT_WRITE:
      stall.wait = TlsWait::writable;
      return true;
    case SSL_ERROR_ZERO_RETURN:
      stall.closed = true;
      return false;
    case SSL_ERROR_SYSCALL:
      session->failed = true;
      if (call.saved_errno != 0) {
        stall.reason = std::string(prefix) + ": " + std::strerror(call.saved_errno);
      } else {
        stall.closed = true;
        stall.reason = std::string(prefix) + ": the server closed the connection";
      }
      return false;
    default:
      session->failed = true;
      stall.reason = library_reason(prefix, lib.ERR_peek_error());
      return false;
  }
}

}  // namespace

bool platform_tls_certificate_readable(ErrorNumber& error_code, const std::string& der) {
  if (!load_library()) {
    record_tls_failure(error_code, g_library.failure);
    return false;
  }
  X509* certificate = certificate_of(der);
  if (certificate == nullptr) return false;
  g_library.X509_free(certificate);
  return true;
}

namespace {

// A memory BIO over text, read-only; nullptr when it cannot be had.
BIO* memory_of(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  return g_library.BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
}

bool has_text(const std::string& bytes, const char* text) { return bytes.find(text) != std::string::npos; }

// Reads a PEM certificate, the issuers after it and the key (from key, or
// from certificate when key is empty) into credential; the problem in
// findings when one is missing or cannot be read.
void load_pem(const TlsClientSource& source, TlsClientCredential& credential, TlsClientFindings& findings) {
  Library& lib = g_library;
  BIO* bio = memory_of(source.certificate);
  for (X509* read = nullptr; bio != nullptr && (read = lib.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));) {
    if (credential.certificate == nullptr) {
      credential.certificate = read;
    } else {
      credential.chain.push_back(read);
    }
  }
  if (bio != nullptr) lib.BIO_free(bio);
  lib.ERR_clear_error();
  if (credential.certificate == nullptr) {
    findings.problem = "holds no certificate";
    return;
  }
  const bool separate = !source.key.empty();
  const std::string& key_text = separate ? source.key : source.certificate;
  findings.in_key = separate;
  bio = memory_of(key_text);
  // The password is handed to the library as its "u" argument, which it
  // takes as the passphrase: no prompt is ever shown, even for an empty one.
  if (bio != nullptr) {
    credential.key = lib.PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>(source.password.c_str()));
    lib.BIO_free(bio);
  }
  const unsigned long error = lib.ERR_peek_last_error();
  lib.ERR_clear_error();
  if (credential.key != nullptr) return;
  if (!has_text(key_text, "PRIVATE KEY-----")) {
    findings.problem = separate ? "holds no private key" : "holds no private key; ClientKey names the key's file";
  } else if (has_text(key_text, "ENCRYPTED")) {
    findings.problem = source.password.empty() ? "the key is encrypted and ClientKeyPassword is empty"
                                               : "ClientKeyPassword does not open the key";
  } else {
    const char* text = error != 0 ? lib.ERR_reason_error_string(error) : nullptr;
    findings.problem = std::string("the key cannot be read: ") + (text != nullptr ? text : "unknown library error");
  }
}

// Reads a PKCS#12 file's certificate, key and further certificates into
// credential; the problem in findings when it cannot be opened.
void load_pkcs12(const TlsClientSource& source, TlsClientCredential& credential, TlsClientFindings& findings) {
  Library& lib = g_library;
  BIO* bio = memory_of(source.certificate);
  PKCS12* bundle = bio != nullptr ? lib.d2i_PKCS12_bio(bio, nullptr) : nullptr;
  if (bio != nullptr) lib.BIO_free(bio);
  if (bundle == nullptr) {
    lib.ERR_clear_error();
    findings.problem = "holds no certificate (neither PEM nor PKCS#12)";
    return;
  }
  STACK_OF(X509)* others = nullptr;
  const int parsed = lib.PKCS12_parse(bundle, source.password.c_str(), &credential.key, &credential.certificate, &others);
  const unsigned long error = lib.ERR_peek_last_error();
  lib.ERR_clear_error();
  lib.PKCS12_free(bundle);
  if (others != nullptr) {
    const int count = lib.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(others));
    for (int i = 0; i < count; ++i) {
      credential.chain.push_back(
          static_cast<X509*>(lib.OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(others), i)));
    }
    lib.OPENSSL_sk_free(reinterpret_cast<OPENSSL_STACK*>(others));
  }
  if (parsed != 1) {
    findings.problem = ERR_GET_REASON(error) == PKCS12_R_MAC_VERIFY_FAILURE
                           ? "ClientKeyPassword does not open the PKCS#12 file"
                           : "the PKCS#12 file cannot be read";
  } else if (credential.certificate == nullptr) {
    findings.problem = "the PKCS#12 file holds no certificate";
  } else if (credential.key == nullptr) {
    findings.problem = "the PKCS#12 file holds no private key";
  }
}

}  // namespace

TlsClientCredential* platform_tls_load_client_credential(ErrorNumber& error_code, const TlsClientSource& source,
                                                         TlsClientFindings& findings) {
  if (!load_library()) {
    record_tls_failure(error_code, g_library.failure);
    return nullptr;
  }
  Library& lib = g_library;
  TlsClientCredential* credential = new (std::nothrow) TlsClientCredential;
  if (credential == nullptr) {
    set_error(error_code, kErrNoMemory);
    return nullptr;
  }
  if (!source.store_entry.empty()) {
    findings.problem = "a certificate store is Windows's; here ClientCert names a PEM or PKCS#12 file";
  } else if (has_text(source.certificate, "-----BEGIN ")) {
    load_pem(source, *credential, findings);
  } else {
    load_pkcs12(source, *credential, findings);
  }
  if (findings.problem.empty() && lib.X509_check_private_key(credential->certificate, credential->key) != 1) {
    findings.problem = "the key does not match the certificate";
  }
  lib.ERR_clear_error();
  if (!findings.problem.empty()) {
    platform_tls_free_client_credential(credential);
    set_error(error_code, kErrWrongKind);
    return nullptr;
  }
  // notAfter at or before now: expired; notBefore after now: not yet valid.
  findings.expired = lib.X509_cmp_current_time(lib.X509_get0_notAfter(credential->certificate)) < 0;
  findings.not_yet_valid = lib.X509_cmp_current_time(lib.X509_get0_notBefore(credential->certificate)) > 0;
  return credential;
}

void platform_tls_free_client_credential(TlsClientCredential* credential) {
  if (credential == nullptr) return;
  Library& lib = g_library;
  if (credential->certificate != nullptr) lib.X509_free(credential->certificate);
  if (credential->key != nullptr) lib.EVP_PKEY_free(credential->key);
  for (X509* issuer : credential->chain) lib.X509_free(issuer);
  delete credential;
}

TlsSession* platform_tls_start(ErrorNumber& error_code, SocketHandle socket, const TlsPeer& peer,
                               const std::vector<std::string>& roots) {
  if (!load_library()) {
    record_tls_failure(error_code, g_library.failure);
    return nullptr;
  }
  Library& lib = g_library;
  TlsSession* session = new (std::nothrow) TlsSession;
  if (session == nullptr) {
    set_error(error_code, kErrNoMemory);
    return nullptr;
  }
  lib.ERR_clear_error();
  session->context = lib.SSL_CTX_new(lib.TLS_client_method());
  // Every setting must take: a session that runs without one of them
  // would check less than it should.
  bool set = session->context != nullptr;
  SSL_CTX* context = session->context;
  if (set) {
    set = lib.SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) == 1 &&
          drop_unauthenticated_suites(context);
  }
  if (set && lib.SSL_CTX_get_security_level(context) < kSecurityFloor) {
    lib.SSL_CTX_set_security_level(context, kSecurityFloor);
    set = lib.SSL_CTX_get_security_level(context) == kSecurityFloor;
  }
  if (set) {
    // A server that closes without a close-notify ends the answer as a TCP
    // close does: Content-Length catches a cut body.
    const uint64_t options = SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION;
    set = (lib.SSL_CTX_set_options(context, options) & options) == options;
  }
  if (set) {
    // Sends behave as the socket's: a part may be taken, and a retry may
    // come from another place in memory holding the same bytes.
    const long mode = SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;
    set = (lib.SSL_CTX_ctrl(context, SSL_CTRL_MODE, mode, nullptr) & mode) == mode;
    // Whole socket reads rather than one per record header and body;
    // platform_tls_pending then tells what is buffered. (The call answers
    // with the old setting, so only the mode's answer is checked.)
    lib.SSL_CTX_ctrl(context, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
    lib.SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  }
  std::string failure = set ? "" : "cannot set up TLS";
  if (failure.empty()) {
    if (roots.empty()) {
      // The system store by the hashed directory (or SSL_CERT_DIR): only
      // the certificates a chain needs are read, not a whole bundle.
      if (lib.SSL_CTX_set_default_verify_dir(context) != 1) failure = "cannot use the system's certificates";
    } else if (!add_roots(context, roots)) {
      failure = "untrusted authority: a CAFile certificate cannot be used";
    }
  }
  if (failure.empty() && peer.credential != nullptr) {
    // The client certificate, its issuers and its key, sent only when the
    // server asks; the context takes references of its own.
    const TlsClientCredential& credential = *peer.credential;
    bool used = lib.SSL_CTX_use_certificate(context, credential.certificate) == 1 &&
                lib.SSL_CTX_use_PrivateKey(context, credential.key) == 1;
    for (X509* issuer : credential.chain) {
      used = used && lib.SSL_CTX_ctrl(context, SSL_CTRL_CHAIN_CERT, 1, issuer) == 1;
    }
    if (!used) failure = library_reason("the client certificate cannot be used", lib.ERR_peek_error());
  }
  if (failure.empty()) {
    session->ssl = lib.SSL_new(session->context);
    if (session->ssl == nullptr || lib.SSL_set_fd(session->ssl, fd_of(socket)) != 1) {
      failure = "cannot set up TLS";
    }
  }
  if (failure.empty()) {
    lib.SSL_set_msg_callback(session->ssl, watch_messages);
    if (lib.SSL_ctrl(session->ssl, SSL_CTRL_SET_MSG_CALLBACK_ARG, 0, session) != 1) {
      failure = "cannot set up TLS";
    }
  }
  if (failure.empty()) {
    X509_VERIFY_PARAM* param = lib.SSL_get0_param(session->ssl);
    if (!peer.address.empty()) {
      // An address is checked against the certificate's IP entries and
      // sent without SNI.
      if (lib.X509_VERIFY_PARAM_set1_ip(param, reinterpret_cast<const unsigned char*>(peer.address.data()),
                                        peer.address.size()) != 1) {
        failure = "name mismatch: the address cannot be checked";
      }
    } else {
      // A name is checked against the certificate's DNS names alone, never
      // its subject, a wildcard standing for one whole label; and sent as
      // SNI.
      lib.X509_VERIFY_PARAM_set_hostflags(
          param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (lib.SSL_set1_host(session->ssl, peer.name.c_str()) != 1 ||
          lib.SSL_ctrl(session->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char*>(peer.name.c_str())) != 1) {
        failure = "name mismatch: the host name cannot be checked";
      }
    }
  }
  if (!failure.empty()) {
    free_session(session);
    record_tls_failure(error_code, failure);
    return nullptr;
  }
  return session;
}

bool platform_tls_handshake(ErrorNumber& error_code, TlsSession* session, TlsWait& wait) {
  Library& lib = g_library;
  wait = TlsWait::none;
  lib.ERR_clear_error();
  errno = 0;
  LibraryCall call;
  call.result = lib.SSL_connect(session->ssl);
  call.saved_errno = errno;
  if (call.result == 1) {
    // Whatever the suite, the server must have shown a certificate that
    // passed every check, on a version the program allows.
    std::string reason;
    if (lib.SSL_get0_peer_certificate(session->ssl) == nullptr) {
      reason = "untrusted authority: the server showed no certificate";
    } else if (lib.SSL_get_verify_result(session->ssl) != X509_V_OK) {
      reason = verify_reason(lib.SSL_get_verify_result(session->ssl));
    } else if (lib.SSL_version(session->ssl) < TLS1_2_VERSION) {
      reason = "handshake failure: an older protocol version";
    }
    if (reason.empty()) {
      session->established = true;
      return true;
    }
    session->failed = true;
    record_tls_failure(error_code, reason);
    return false;
  }
  Stall stall;
  if (classify(session, call, "handshake failure", stall)) {
    wait = stall.wait;
    return false;
  }
  session->failed = true;
  const long verified = lib.SSL_get_verify_result(session->ssl);
  if (verified != X509_V_OK) stall.reason = verify_reason(verified);
  if (stall.reason.empty()) stall.reason = "handshake failure: the server closed the connection";
  record_tls_failure(error_code, stall.reason);
  return false;
}

namespace {

// Ends a session whose server asked to renegotiate: -1 with the failure
// recorded, or 0 when it has not.
int refuse_renegotiation(ErrorNumber& error_code, TlsSession* session) {
  if (!session->renegotiation_asked) return 0;
  session->failed = true;
  record_tls_failure(error_code, "renegotiation refused: the server asked to renegotiate");
  return -1;
}

// The bytes of one send (from data) or receive (into buffer).
struct Piece {
  bool receiving = false;
  const char* data = nullptr;
  char* buffer = nullptr;
  std::size_t size = 0;
};

// One SSL_write or SSL_read of piece, at most 1 GiB of it: the count moved
// (more than 0); -1 with the failure recorded when the server has asked to
// renegotiate; or 0 when nothing moved, stall saying why.
std::int64_t move_piece(ErrorNumber& error_code, TlsSession* session, const Piece& piece,
                        Stall& stall) {
  Library& lib = g_library;
  // Bytes that came before a renegotiation request were handed over; the
  // session ends at the next call.
  if (refuse_renegotiation(error_code, session) != 0) return -1;
  const int count = piece.size > (1u << 30) ? (1 << 30) : static_cast<int>(piece.size);
  lib.ERR_clear_error();
  errno = 0;
  LibraryCall call;
  call.result = piece.receiving ? lib.SSL_read(session->ssl, piece.buffer, count)
                                : lib.SSL_write(session->ssl, piece.data, count);
  call.saved_errno = errno;
  if (call.result > 0) return call.result;
  if (refuse_renegotiation(error_code, session) != 0) return -1;
  classify(session, call, "TLS failure", stall);
  return 0;
}

}  // namespace

std::int64_t platform_tls_send(ErrorNumber& error_code, TlsSession* session, const char* data,
                               std::size_t size, TlsWait& wait) {
  Stall stall;
  const std::int64_t sent =
      move_piece(error_code, session, Piece{false, data, nullptr, size}, stall);
  wait = stall.wait;
  if (sent != 0 || wait != TlsWait::none) return sent;
  // Under TLS 1.3 a server that refuses the client's certificate says so
  // after the handshake, and its close may reset the connection before the
  // request is through. Its alert came first and is still there to read:
  // it tells why better than the reset does.
  char scrap[512];
  Stall after;
  ErrorNumber ignored = 0;
  if (move_piece(ignored, session, Piece{true, nullptr, scrap, sizeof scrap}, after) == 0 &&
      after.reason.find("refused the client certificate") != std::string::npos) {
    stall.reason = after.reason;
  }
  session->failed = true;
  if (stall.reason.empty()) stall.reason = "TLS failure: the server closed the connection";
  record_tls_failure(error_code, stall.reason);
  return -1;
}

std::int64_t platform_tls_receive(ErrorNumber& error_code, TlsSession* session, char* buffer,
                                  std::size_t size, TlsWait& wait) {
  Stall stall;
  const std::int64_t received =
      move_piece(error_code, session, Piece{true, nullptr, buffer, size}, stall);
  wait = stall.wait;
  if (received != 0) return received;
  if (wait != TlsWait::none) return -2;
  // A close-notify, or a TCP close without one: the end of the data.
  if (stall.closed) return 0;
  record_tls_failure(error_code, stall.reason);
  return -1;
}

bool platform_tls_pending(const TlsSession* session) {
  return session != nullptr && g_library.SSL_has_pending(session->ssl) == 1;
}

void platform_tls_end(TlsSession* session, bool notify) {
  if (session == nullptr) return;
  Library& lib = g_library;
  if (notify && !session->failed && lib.SSL_is_init_finished(session->ssl) == 1) {
    // One close-notify, sent if the socket takes it now; the peer's is not
    // waited for.
    lib.ERR_clear_error();
    lib.SSL_shutdown(session->ssl);
    lib.ERR_clear_error();
  }
  free_session(session);
}
