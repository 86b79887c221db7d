// Win32 backend: TLS client sessions on Schannel through SSPI, the only
// file that includes their headers; the certificate checks on CryptoAPI are
// in tls_verify.cpp.
//
// Nothing here waits: the socket is non-blocking, and every call that
// cannot go on says whether it needs the socket readable or writable.
// Ciphertext moves through two byte strings of the session: what came from
// the socket and Schannel has not used yet, and what Schannel produced and
// the socket has not taken yet.
//
// Without a CA file Schannel checks the chain against the system store and
// the host name itself; with one, or for an address (which Schannel is not
// given, so that no SNI carries it), it checks nothing. Either way the
// program checks the server's certificate after the handshake, by the rules
// the POSIX backend has from OpenSSL (tls_verify.cpp). Wine's Schannel
// checks nothing by itself.

// win32.h first: it brings windows.h, which the other system headers need.
#include "platform/win32/win32.h"

#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS, which name their strings with
// UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/tls.h"
#include "platform/win32/tls_verify.h"

// A client certificate with a private key the system holds: from a
// PKCS#12 file imported into a store in memory, or from a system store.
struct TlsClientCredential {
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT certificate = nullptr;
};

struct TlsSession {
  SOCKET socket = INVALID_SOCKET;
  TlsPeer peer;  // whom the certificate must name
  std::vector<std::string> roots;  // DER; none: the system's store
  // The host is an IP address: no target name (no SNI), and the program
  // checks the certificate against it.
  bool host_is_address = false;
  // Schannel leaves the whole check of the certificate to the program.
  bool manual_check = false;
  CredHandle credentials;
  bool have_credentials = false;
  CtxtHandle context;
  bool have_context = false;
  // Ciphertext received and not yet used by Schannel.
  std::string incoming;
  // Ciphertext made and not yet taken by the socket.
  std::string outgoing;
  // Plaintext count behind the record in outgoing, returned by the send
  // that finishes handing it over.
  std::size_t pending_taken = 0;
  // Decrypted bytes not yet returned, from plain_offset on.
  std::string plain;
  std::size_t plain_offset = 0;
  // The handshake loop wants more bytes from the peer before its next call.
  bool need_input = false;
  // The first bytes of the peer have been looked at (TLS or plain text).
  bool peer_seen = false;
  // The handshake loop has ended with SEC_E_OK; after TLS 1.3
  // post-handshake messages it runs again.
  bool negotiated = false;
  bool renegotiating = false;
  // The handshake and every check have passed.
  bool established = false;
  bool closed = false;
  // What InitializeSecurityContext is asked for.
  ULONG request = 0;
  // The session runs TLS 1.3: SEC_I_RENEGOTIATE stands for post-handshake
  // messages (tickets, a key update) there, for a new handshake in TLS 1.2.
  bool tls13 = false;
  // A TLS 1.2 server asked for a new handshake: the session ends once the
  // bytes before the request have been received.
  bool renegotiation_asked = false;
  // A failure ended the session: no close-notify follows.
  bool failed = false;
  // The description of a fatal alert the server sent in the handshake, in
  // the clear (TLS 1.2); 0: none seen.
  unsigned char alert = 0;
  SecPkgContext_StreamSizes sizes;
};

namespace {

constexpr char kHandshakeFailure[] = "handshake failure";
constexpr char kNotTls[] = "not TLS";

// One socket read: a TLS record at most and its header.
constexpr std::size_t kReadPiece = 16384 + 512;

// The protocols a session may use, and the older ones it may not.
constexpr DWORD kAllowedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOlderProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM;

void fail_with_words(ErrorNumber& error_code, const char* words) {
  remember_failure_text(words);
  set_error(error_code, kErrSocket);
}

void fail_with_status(ErrorNumber& error_code, SECURITY_STATUS status) {
  remember_system_value(static_cast<DWORD>(status));
  set_error(error_code, kErrSocket);
}

// Acquires the client credentials: TLS 1.2 and 1.3 only, strong ciphers,
// no client certificate. SCH_CREDENTIALS first (current systems want it for
// TLS 1.3), then SCHANNEL_CRED with both versions, then TLS 1.2 alone for
// systems that know no TLS 1.3.
SECURITY_STATUS acquire_credentials(TlsSession& session) {
  DWORD flags = SCH_USE_STRONG_CRYPTO | SCH_CRED_NO_DEFAULT_CREDS |
                (session.manual_check ? SCH_CRED_MANUAL_CRED_VALIDATION
                                      : SCH_CRED_AUTO_CRED_VALIDATION);
  TimeStamp expiry;
  TLS_PARAMETERS parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.grbitDisabledProtocols = kOlderProtocols;
  SCH_CREDENTIALS current;
  std::memset(&current, 0, sizeof current);
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  // The client certificate, offered when the server asks for one.
  PCCERT_CONTEXT offered[1] = {nullptr};
  const DWORD credentials = session.peer.credential != nullptr ? 1 : 0;
  if (credentials != 0) offered[0] = session.peer.credential->certificate;
  current.cCreds = credentials;
  current.paCred = offered;
  SECURITY_STATUS status = AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &current, nullptr,
      nullptr, &session.credentials, &expiry);
  if (status == SEC_E_OK) {
    // A system that takes the structure but not its TLS parameters (Wine
    // enables TLS 1.0 to 1.2 with it) gets SCHANNEL_CRED instead.
    SecPkgCred_SupportedProtocols enabled;
    enabled.grbitProtocol = 0;
    SECURITY_STATUS asked = QueryCredentialsAttributesA(
        &session.credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &enabled);
    if (asked != SEC_E_OK || (enabled.grbitProtocol & kOlderProtocols) != 0) {
      FreeCredentialsHandle(&session.credentials);
      status = SEC_E_UNSUPPORTED_FUNCTION;
    }
  }
  for (DWORD protocols : {kAllowedProtocols, static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
    if (status == SEC_E_OK) break;
    SCHANNEL_CRED older;
    std::memset(&older, 0, sizeof older);
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = protocols;
    older.dwFlags = flags;
    older.cCreds = credentials;
    older.paCred = offered;
    status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                       SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                       &session.credentials, &expiry);
  }
  return status;
}

// Hands outgoing to the socket: 1 when all of it is gone, 0 when the socket
// takes no more now, -1 with the failure recorded.
int flush(ErrorNumber& error_code, TlsSession& session) {
  while (!session.outgoing.empty()) {
    std::int64_t sent = platform_socket_send(error_code, from_socket(session.socket),
                                             session.outgoing.data(), session.outgoing.size());
    if (sent < 0) return -1;
    if (sent == 0) return 0;
    session.outgoing.erase(0, static_cast<std::size_t>(sent));
  }
  return 1;
}

// Reads what the socket holds onto incoming: 1 with bytes, 0 when the peer
// has closed, -2 when nothing is there yet, -1 with the failure recorded.
int fill(ErrorNumber& error_code, TlsSession& session) {
  char buffer[kReadPiece];
  std::int64_t got =
      platform_socket_receive(error_code, from_socket(session.socket), buffer, sizeof buffer);
  if (got < 0) return static_cast<int>(got);
  if (got == 0) return 0;
  session.incoming.append(buffer, static_cast<std::size_t>(got));
  return 1;
}

// A TLS peer's first bytes are a handshake or alert record of version 3.x;
// anything else is a server speaking plain text on this port.
bool looks_like_tls(const std::string& bytes) {
  unsigned char type = static_cast<unsigned char>(bytes[0]);
  if (type != 21 && type != 22) return false;
  return bytes.size() < 2 || bytes[1] == 3;
}

enum class Progress : std::uint8_t { done, waiting, failed };

// One call of InitializeSecurityContext on what incoming holds (nothing on
// the first call). Its token joins outgoing; the bytes it did not use stay
// in incoming.
SECURITY_STATUS initialize_once(TlsSession& session) {
  static char no_bytes[1];
  SecBuffer in[2];
  in[0] = {static_cast<ULONG>(session.incoming.size()), SECBUFFER_TOKEN,
           session.incoming.empty() ? no_bytes : session.incoming.data()};
  in[1] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
  SecBuffer out[1];
  out[0] = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  // An address is no target name: Schannel would send it as SNI.
  char* target = session.host_is_address ? nullptr : session.peer.name.data();
  ULONG attributes = 0;
  SECURITY_STATUS status = InitializeSecurityContextA(
      &session.credentials, session.have_context ? &session.context : nullptr, target,
      session.request, 0, 0, session.have_context ? &in_desc : nullptr, 0, &session.context,
      &out_desc, &attributes, nullptr);
  if (!session.have_context && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
    session.have_context = true;
  }
  if (out[0].pvBuffer != nullptr) {
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      session.outgoing.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
    }
    FreeContextBuffer(out[0].pvBuffer);
  }
  // Bytes not yet whole, or a request for a client certificate: the next
  // call takes the same bytes again.
  if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_INCOMPLETE_CREDENTIALS) return status;
  if (session.have_context && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 &&
      in[1].cbBuffer <= session.incoming.size()) {
    session.incoming.erase(0, session.incoming.size() - in[1].cbBuffer);
  } else {
    session.incoming.clear();
  }
  return status;
}

// The words for an alert a server sends when it does not take the client's
// certificate (or wants one and got none); empty for any other.
std::string client_refusal(unsigned char alert) {
  const char* name = nullptr;
  switch (alert) {
    case 42: name = "bad certificate"; break;
    case 43: name = "unsupported certificate"; break;
    case 44: name = "certificate revoked"; break;
    case 45: name = "certificate expired"; break;
    case 46: name = "certificate unknown"; break;
    case 48: name = "unknown ca"; break;
    case 49: name = "access denied"; break;
    case 116: name = "certificate required"; break;
    default: return std::string();
  }
  return std::string("the server refused the client certificate: ") + name;
}

// Ends the handshake loop on a socket failure, told in the first handshake
// as the handshake's, the system's words after it ("handshake failure: ...").
Progress socket_failed(const TlsSession& session) {
  if (!session.renegotiating) {
    const std::string words = std::string(kHandshakeFailure) + ": " + platform_failure_reason();
    remember_failure_text(words.c_str());
  }
  return Progress::failed;
}

// Runs the handshake loop as far as the socket allows: done once
// InitializeSecurityContext has said SEC_E_OK and its last token is gone.
Progress drive(ErrorNumber& error_code, TlsSession& session, TlsWait& wait) {
  for (;;) {
    int flushed = flush(error_code, session);
    if (flushed < 0) return socket_failed(session);
    if (flushed == 0) {
      wait = TlsWait::writable;
      return Progress::waiting;
    }
    if (session.negotiated) return Progress::done;
    if (session.need_input) {
      int got = fill(error_code, session);
      if (got == -2) {
        wait = TlsWait::readable;
        return Progress::waiting;
      }
      if (got < 0) return socket_failed(session);
      if (got == 0) {
        // Closed in the middle: after post-handshake messages that is the
        // end of the answer; in the first handshake a failure.
        session.closed = true;
        if (!session.renegotiating) fail_with_words(error_code, kHandshakeFailure);
        return Progress::failed;
      }
      if (!session.peer_seen) {
        session.peer_seen = true;
        if (!looks_like_tls(session.incoming)) {
          fail_with_words(error_code, kNotTls);
          return Progress::failed;
        }
      }
      session.need_input = false;
    }
    // A fatal alert record in the clear: kept, so that a refusal can be
    // named by it.
    if (session.incoming.size() >= 7 && session.incoming[0] == 21 && session.incoming[5] == 2) {
      session.alert = static_cast<unsigned char>(session.incoming[6]);
    }
    SECURITY_STATUS status = initialize_once(session);
    if (status == SEC_E_OK) {
      session.negotiated = true;
    } else if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
      // More from the peer, unless it has already sent the next message.
      session.need_input = status == SEC_E_INCOMPLETE_MESSAGE || session.incoming.empty();
    } else if (status == SEC_I_INCOMPLETE_CREDENTIALS &&
               (session.request & ISC_REQ_USE_SUPPLIED_CREDS) == 0) {
      // The server asks for a client certificate: there is none, and the
      // next call goes on without one, on the bytes this one did not use,
      // Schannel told not to look for a certificate itself.
      session.request |= ISC_REQ_USE_SUPPLIED_CREDS;
      session.need_input = false;
    } else {
      const char* words = certificate_status_words(status);
      const std::string refused = client_refusal(session.alert);
      fail_with_words(error_code, !refused.empty() ? refused.c_str() : words != nullptr ? words : kHandshakeFailure);
      return Progress::failed;
    }
  }
}

// What the handshake does once the loop is done: the record sizes, the
// version, then the program's own check of the certificate.
bool finish_handshake(ErrorNumber& error_code, TlsSession& session) {
  SECURITY_STATUS status =
      QueryContextAttributesA(&session.context, SECPKG_ATTR_STREAM_SIZES, &session.sizes);
  if (status != SEC_E_OK || session.sizes.cbMaximumMessage == 0) {
    fail_with_words(error_code, kHandshakeFailure);
    return false;
  }
  // Whatever the credentials said, a session on another version ends here.
  SecPkgContext_ConnectionInfo connection;
  std::memset(&connection, 0, sizeof connection);
  status = QueryContextAttributesA(&session.context, SECPKG_ATTR_CONNECTION_INFO, &connection);
  if (status != SEC_E_OK || (connection.dwProtocol & kAllowedProtocols) == 0) {
    fail_with_words(error_code, kHandshakeFailure);
    return false;
  }
  session.tls13 = (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
  // The certificate the server showed; none when it cannot be had.
  PCCERT_CONTEXT server = nullptr;
  status = QueryContextAttributesA(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
  if (status != SEC_E_OK) server = nullptr;
  const char* words = certificate_verdict(server, session.peer, session.roots);
  if (words != nullptr) {
    fail_with_words(error_code, words);
    return false;
  }
  session.established = true;
  return true;
}

enum class Decrypted : std::uint8_t { progress, more, closed, renegotiate, failed };

// Decrypts the first record of incoming: its plaintext joins plain, the
// bytes after it stay in incoming.
Decrypted decrypt_once(ErrorNumber& error_code, TlsSession& session) {
  SecBuffer buffers[4];
  buffers[0].BufferType = SECBUFFER_DATA;
  buffers[0].cbBuffer = static_cast<ULONG>(session.incoming.size());
  buffers[0].pvBuffer = session.incoming.data();
  for (int i = 1; i < 4; ++i) {
    buffers[i].BufferType = SECBUFFER_EMPTY;
    buffers[i].cbBuffer = 0;
    buffers[i].pvBuffer = nullptr;
  }
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = DecryptMessage(&session.context, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return Decrypted::more;
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
    fail_with_status(error_code, status);
    return Decrypted::failed;
  }
  std::size_t before = session.incoming.size();
  // An alert record that gives no data is the peer's close-notify: Schannel
  // says SEC_I_CONTEXT_EXPIRED, Wine's SEC_E_OK with nothing. (Under TLS 1.3
  // every record looks like application data outside, so Wine's cannot be
  // told from a session ticket; the TCP close ends the answer then.)
  bool alert_record = session.incoming[0] == 21;
  bool gave_data = false;
  std::string rest;
  for (const SecBuffer& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
      if (session.plain_offset == session.plain.size()) {
        session.plain.clear();
        session.plain_offset = 0;
      }
      session.plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      gave_data = true;
    } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
      rest.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    }
  }
  session.incoming.swap(rest);
  if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert_record && !gave_data)) {
    return Decrypted::closed;
  }
  if (status == SEC_I_RENEGOTIATE) return Decrypted::renegotiate;
  // A record that gave nothing and used nothing would come back forever.
  if (session.plain_offset == session.plain.size() && session.incoming.size() == before) {
    return Decrypted::more;
  }
  return Decrypted::progress;
}

// True when incoming holds a whole record.
bool whole_record_waits(const TlsSession& session) {
  if (session.incoming.size() < 5) return false;
  std::size_t length = (static_cast<unsigned char>(session.incoming[3]) << 8) |
                       static_cast<unsigned char>(session.incoming[4]);
  return session.incoming.size() >= 5 + length;
}

// Ends a session whose TLS 1.2 server asked for a new handshake: -1 with
// the failure recorded, as the POSIX backend records it.
std::int64_t refuse_renegotiation(ErrorNumber& error_code, TlsSession& session) {
  session.failed = true;
  fail_with_words(error_code, "renegotiation refused: the server asked to renegotiate");
  return -1;
}

}  // namespace

namespace {

// The first certificate of store whose private key the system can reach;
// nullptr when none has one. found tells whether the store held any.
PCCERT_CONTEXT certificate_with_key(HCERTSTORE store, bool& found) {
  found = false;
  for (PCCERT_CONTEXT each = CertEnumCertificatesInStore(store, nullptr); each != nullptr;
       each = CertEnumCertificatesInStore(store, each)) {
    found = true;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD key_kind = 0;
    BOOL free_key = FALSE;
    // Cached with the certificate: nothing to free here.
    if (CryptAcquireCertificatePrivateKey(each, CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG |
                                                    CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                          nullptr, &key, &key_kind, &free_key)) {
      return each;  // the enumeration's reference goes to the caller
    }
  }
  return nullptr;
}

// Imports a PKCS#12 file with password into a store in memory, its keys
// never written to the disk where the system allows it.
void load_pkcs12(const TlsClientSource& source, TlsClientCredential& credential, TlsClientFindings& findings) {
  CRYPT_DATA_BLOB blob;
  blob.cbData = static_cast<DWORD>(source.certificate.size());
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(source.certificate.data()));
  if (source.certificate.empty() || !PFXIsPFXBlob(&blob)) {
    findings.problem = "holds no certificate (neither PEM nor PKCS#12)";
    return;
  }
  std::wstring password(source.password.size() + 1, L'\0');
  const int length = MultiByteToWideChar(CP_ACP, 0, source.password.data(), static_cast<int>(source.password.size()),
                                         password.data(), static_cast<int>(password.size()));
  password.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  // Exportable for Schannels that hand the key to a library of their own
  // (Wine's); PKCS12_NO_PERSIST_KEY keeps it in memory, where it is known.
  credential.store = PFXImportCertStore(&blob, password.c_str(), CRYPT_EXPORTABLE | PKCS12_NO_PERSIST_KEY);
  if (credential.store == nullptr && GetLastError() != ERROR_INVALID_PASSWORD) {
    credential.store = PFXImportCertStore(&blob, password.c_str(), CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  }
  // A PKCS#12 file that does not import is taken as a wrong password unless
  // the password is known to open it (Wine fails the import without
  // ERROR_INVALID_PASSWORD).
  const bool opens = credential.store == nullptr && GetLastError() != ERROR_INVALID_PASSWORD &&
                     PFXVerifyPassword(&blob, password.c_str(), 0);
  SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
  if (credential.store == nullptr) {
    findings.problem = opens ? "the PKCS#12 file cannot be read" : "ClientKeyPassword does not open the PKCS#12 file";
    return;
  }
  bool found = false;
  credential.certificate = certificate_with_key(credential.store, found);
  if (credential.certificate == nullptr) {
    findings.problem = found ? "the PKCS#12 file holds no private key" : "the PKCS#12 file holds no certificate";
  }
}

// Finds LOCATION\STORE\THUMBPRINT (CurrentUser or LocalMachine, a SHA-1
// thumbprint of 40 hex digits, blanks allowed) in the system's stores.
void load_from_store(const std::string& entry, TlsClientCredential& credential, TlsClientFindings& findings) {
  const std::size_t first = entry.find('\\');
  const std::size_t second = first == std::string::npos ? first : entry.find('\\', first + 1);
  const std::string location = entry.substr(0, first);
  DWORD where = 0;
  if (_stricmp(location.c_str(), "CurrentUser") == 0) where = CERT_SYSTEM_STORE_CURRENT_USER;
  if (_stricmp(location.c_str(), "LocalMachine") == 0) where = CERT_SYSTEM_STORE_LOCAL_MACHINE;
  std::string hash;
  bool hex = second != std::string::npos;
  for (std::size_t i = second + 1; hex && i < entry.size(); i += 1) {
    const char c = entry[i];
    if (c == ' ') continue;
    const char* digits = "0123456789abcdef0123456789ABCDEF";
    const char* at = std::strchr(digits, c);
    if (at == nullptr || c == '\0') {
      hex = false;
      break;
    }
    hash.push_back(static_cast<char>((at - digits) % 16));
  }
  if (where == 0 || !hex || hash.size() != 40) {
    findings.problem = "not cert:CurrentUser\\My\\THUMBPRINT or cert:LocalMachine\\My\\THUMBPRINT "
                       "(a SHA-1 thumbprint of 40 hex digits)";
    return;
  }
  BYTE bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<BYTE>(hash[2 * i] * 16 + hash[2 * i + 1]);
  const std::string name = entry.substr(first + 1, second - first - 1);
  credential.store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   where | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
  CRYPT_HASH_BLOB blob = {20, bytes};
  if (credential.store != nullptr) {
    credential.certificate = CertFindCertificateInStore(credential.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_HASH, &blob, nullptr);
  }
  if (credential.certificate == nullptr) {
    findings.problem = "the store holds no certificate of that thumbprint";
    return;
  }
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD key_kind = 0;
  BOOL free_key = FALSE;
  if (!CryptAcquireCertificatePrivateKey(credential.certificate,
                                         CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG |
                                             CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                         nullptr, &key, &key_kind, &free_key)) {
    findings.problem = "the certificate's private key is not in the store, or this account may not use it";
  }
}

}  // namespace

TlsClientCredential* platform_tls_load_client_credential(ErrorNumber& error_code, const TlsClientSource& source,
                                                         TlsClientFindings& findings) {
  TlsClientCredential* credential = new (std::nothrow) TlsClientCredential;
  if (credential == nullptr) {
    set_error(error_code, kErrNoMemory);
    return nullptr;
  }
  if (!source.store_entry.empty()) {
    load_from_store(source.store_entry, *credential, findings);
  } else if (source.certificate.find("-----BEGIN ") != std::string::npos) {
    findings.problem = "a PEM file, which Windows takes as PKCS#12: "
                       "openssl pkcs12 -export -in cert.pem -inkey key.pem -out cert.p12";
  } else if (!source.key.empty()) {
    findings.problem = "ClientKey goes with a PEM certificate; a PKCS#12 file holds its key";
  } else {
    load_pkcs12(source, *credential, findings);
  }
  if (!findings.problem.empty()) {
    platform_tls_free_client_credential(credential);
    set_error(error_code, kErrWrongKind);
    return nullptr;
  }
  const LONG validity = CertVerifyTimeValidity(nullptr, credential->certificate->pCertInfo);
  findings.expired = validity > 0;
  findings.not_yet_valid = validity < 0;
  return credential;
}

void platform_tls_free_client_credential(TlsClientCredential* credential) {
  if (credential == nullptr) return;
  if (credential->certificate != nullptr) CertFreeCertificateContext(credential->certificate);
  if (credential->store != nullptr) CertCloseStore(credential->store, 0);
  delete credential;
}

TlsSession* platform_tls_start(ErrorNumber& error_code, SocketHandle socket, const TlsPeer& peer,
                               const std::vector<std::string>& roots) {
  TlsSession* session = new (std::nothrow) TlsSession;
  if (session == nullptr) {
    set_error(error_code, kErrNoMemory);
    return nullptr;
  }
  session->socket = to_socket(socket);
  session->peer = peer;
  session->roots = roots;
  session->host_is_address = !peer.address.empty();
  session->manual_check = !roots.empty() || session->host_is_address;
  session->request = kContextRequest;
  SECURITY_STATUS status = acquire_credentials(*session);
  if (status != SEC_E_OK) {
    fail_with_status(error_code, status);
    delete session;
    return nullptr;
  }
  session->have_credentials = true;
  return session;
}

bool platform_tls_handshake(ErrorNumber& error_code, TlsSession* session, TlsWait& wait) {
  wait = TlsWait::none;
  if (session->established) return true;
  Progress progress = drive(error_code, *session, wait);
  if (progress != Progress::done) return false;
  return finish_handshake(error_code, *session);
}

std::int64_t platform_tls_send(ErrorNumber& error_code, TlsSession* session, const char* data,
                               std::size_t size, TlsWait& wait) {
  wait = TlsWait::none;
  if (!session->established) {
    fail_with_words(error_code, kHandshakeFailure);
    return -1;
  }
  if (session->renegotiation_asked) return refuse_renegotiation(error_code, *session);
  if (session->renegotiating) {
    Progress progress = drive(error_code, *session, wait);
    if (progress == Progress::waiting) return 0;
    if (progress == Progress::failed) {
      if (session->closed) fail_with_words(error_code, kHandshakeFailure);
      return -1;
    }
    session->renegotiating = false;
  }
  if (!session->outgoing.empty()) {
    int flushed = flush(error_code, *session);
    if (flushed < 0) return -1;
    if (flushed == 0) {
      wait = TlsWait::writable;
      return 0;
    }
    if (session->pending_taken > 0) {
      std::size_t taken = session->pending_taken;
      session->pending_taken = 0;
      return static_cast<std::int64_t>(taken);
    }
  }
  if (size == 0) return 0;
  std::size_t piece = std::min<std::size_t>(size, session->sizes.cbMaximumMessage);
  std::string record(session->sizes.cbHeader + piece + session->sizes.cbTrailer, '\0');
  std::memcpy(record.data() + session->sizes.cbHeader, data, piece);
  SecBuffer buffers[4];
  buffers[0] = {session->sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
  buffers[1] = {static_cast<ULONG>(piece), SECBUFFER_DATA, record.data() + session->sizes.cbHeader};
  buffers[2] = {session->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
                record.data() + session->sizes.cbHeader + piece};
  buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = EncryptMessage(&session->context, 0, &desc, 0);
  if (status != SEC_E_OK) {
    fail_with_status(error_code, status);
    return -1;
  }
  // The three parts lie one after the other; the trailer may come out
  // shorter than its room.
  record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
  session->outgoing.append(record);
  int flushed = flush(error_code, *session);
  if (flushed < 0) return -1;
  if (flushed == 0) {
    session->pending_taken = piece;
    wait = TlsWait::writable;
    return 0;
  }
  return static_cast<std::int64_t>(piece);
}

std::int64_t platform_tls_receive(ErrorNumber& error_code, TlsSession* session, char* buffer,
                                  std::size_t size, TlsWait& wait) {
  wait = TlsWait::none;
  if (!session->established) {
    fail_with_words(error_code, kHandshakeFailure);
    return -1;
  }
  for (;;) {
    if (session->plain_offset < session->plain.size()) {
      std::size_t count = std::min(size, session->plain.size() - session->plain_offset);
      std::memcpy(buffer, session->plain.data() + session->plain_offset, count);
      session->plain_offset += count;
      return static_cast<std::int64_t>(count);
    }
    if (session->renegotiation_asked) return refuse_renegotiation(error_code, *session);
    if (session->closed) return 0;
    if (session->renegotiating) {
      Progress progress = drive(error_code, *session, wait);
      if (progress == Progress::waiting) return -2;
      if (progress == Progress::failed) return session->closed ? 0 : -1;
      session->renegotiating = false;
      continue;
    }
    if (!session->incoming.empty()) {
      Decrypted decrypted = decrypt_once(error_code, *session);
      if (decrypted == Decrypted::failed) {
        session->failed = true;
        return -1;
      }
      if (decrypted == Decrypted::closed) {
        session->closed = true;
        continue;
      }
      if (decrypted == Decrypted::renegotiate && !session->tls13) {
        // A TLS 1.2 server asks for a new handshake, which could bring
        // another certificate: refused, once the bytes before it are in.
        session->renegotiation_asked = true;
        continue;
      }
      if (decrypted == Decrypted::renegotiate) {
        // Post-handshake messages (TLS 1.3 tickets, a key update): the
        // handshake loop takes the bytes after them at once.
        session->renegotiating = true;
        session->negotiated = false;
        session->need_input = false;
        continue;
      }
      if (decrypted == Decrypted::progress) continue;
    }
    int got = fill(error_code, *session);
    if (got == -2) {
      wait = TlsWait::readable;
      return -2;
    }
    if (got < 0) return -1;
    // A plain TCP close without a close-notify ends the answer too.
    if (got == 0) session->closed = true;
  }
}

bool platform_tls_pending(const TlsSession* session) {
  // A closed session answers at once too: the socket may never turn
  // readable after a close-notify.
  return session->plain_offset < session->plain.size() || session->closed ||
         session->renegotiation_asked || whole_record_waits(*session);
}

void platform_tls_end(TlsSession* session, bool notify) {
  if (session == nullptr) return;
  // The close-notify goes out only after whole records: a record cut short
  // would make it unreadable.
  if (notify && session->have_context && session->established && !session->failed &&
      session->outgoing.empty()) {
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc control_desc = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session->context, &control_desc) == SEC_E_OK) {
      SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out};
      ULONG attributes = 0;
      char* target = session->host_is_address ? nullptr : session->peer.name.data();
      SECURITY_STATUS status = InitializeSecurityContextA(
          &session->credentials, &session->context, target, kContextRequest, 0, 0, nullptr, 0,
          &session->context, &out_desc, &attributes, nullptr);
      if (out.pvBuffer != nullptr) {
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
          // One try, past the socket procedures so that a failure here
          // leaves the reason of an earlier one alone; the peer's own
          // close-notify is not waited for.
          send(session->socket, static_cast<const char*>(out.pvBuffer),
               static_cast<int>(out.cbBuffer), 0);
        }
        FreeContextBuffer(out.pvBuffer);
      }
    }
  }
  if (session->have_context) DeleteSecurityContext(&session->context);
  if (session->have_credentials) FreeCredentialsHandle(&session->credentials);
  delete session;
}
