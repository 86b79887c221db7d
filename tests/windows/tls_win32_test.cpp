// TLS sessions over the Win32 backend (Schannel), against the peers of
// tls_peer.py, which scripts/test-windows.sh starts on the Linux side with
// certificates made by openssl; RAVELOK_TLS_PEER names its directory. Every
// wait is bounded.
// windows.h first: wincrypt.h needs it.
#include <windows.h>
#include <wincrypt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/ca_file.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "platform/tls_names.h"
#include "support/fixtures.h"

namespace {

struct Peer {
  std::string directory;
  std::map<std::string, std::uint16_t> ports;
};

const Peer& peer() {
  static Peer loaded = [] {
    Peer p;
    const char* directory = std::getenv("RAVELOK_TLS_PEER");
    if (directory == nullptr) return p;
    p.directory = directory;
    std::istringstream lines(read_file(p.directory + "\\ports.txt"));
    std::string name;
    unsigned port = 0;
    while (lines >> name >> port) p.ports[name] = static_cast<std::uint16_t>(port);
    return p;
  }();
  return loaded;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left before deadline, at least 0.
std::uint32_t left(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<std::uint32_t>(ms) : 0;
}

enum class Outcome { complete, failed, timed_out };

// One session from connect to end: the handshake, then (when request is
// not empty) the request sent whole and the answer received to the close.
struct Session {
  Outcome handshake = Outcome::failed;
  Outcome exchange = Outcome::failed;
  ErrorNumber error_code = 0;
  std::string reason;
  std::string answer;
  int waits = 0;
};

// Waits as the call asked; false when the deadline passed first.
bool wait_for(ErrorNumber& error_code, SocketHandle socket, TlsWait wait,
              Clock::time_point deadline, int& waits) {
  ++waits;
  return platform_wait_socket(error_code, socket, wait == TlsWait::writable, left(deadline)) ==
         SocketWait::ready;
}

Session run_session(const std::string& behaviour, const std::string& host,
                    const std::string& ca_file, const std::string& request, int limit_ms = 5000,
                    const TlsClientCredential* credential = nullptr) {
  Session result;
  ErrorNumber& error_code = result.error_code;
  SocketHandle socket = platform_tcp_connect(error_code, host, peer().ports.at(behaviour), 3000, 0);
  if (socket == kNoSocket) return result;
  std::vector<std::string> roots;
  if (!ca_file.empty()) roots = split_pem_certificates(read_file(peer().directory + "\\" + ca_file)).certificates;
  // An address is checked as the one the socket reached, as the program does.
  TlsPeer target{host, "", false, credential};
  if (parse_plain_address(host, target.address)) target.address = platform_socket_peer_address(socket);
  TlsSession* session = platform_tls_start(error_code, socket, target, roots);
  if (session == nullptr) {
    platform_close_socket(socket);
    return result;
  }
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  TlsWait wait = TlsWait::none;
  result.handshake = Outcome::timed_out;
  while (!platform_tls_handshake(error_code, session, wait)) {
    if (wait == TlsWait::none) {
      result.handshake = Outcome::failed;
      break;
    }
    if (!wait_for(error_code, socket, wait, deadline, result.waits)) break;
  }
  if (error_code == 0 && wait == TlsWait::none) result.handshake = Outcome::complete;
  if (result.handshake == Outcome::complete && !request.empty()) {
    result.exchange = Outcome::timed_out;
    std::size_t sent = 0;
    while (sent < request.size()) {
      std::int64_t taken = platform_tls_send(error_code, session, request.data() + sent,
                                             request.size() - sent, wait);
      if (taken < 0) break;
      sent += static_cast<std::size_t>(taken);
      if (taken == 0 && !wait_for(error_code, socket, wait, deadline, result.waits)) break;
    }
    char buffer[5000];
    while (sent == request.size()) {
      std::int64_t got = platform_tls_receive(error_code, session, buffer, sizeof buffer, wait);
      if (got == 0) {
        result.exchange = Outcome::complete;
        break;
      }
      if (got == -1) {
        result.exchange = Outcome::failed;
        break;
      }
      if (got > 0) {
        result.answer.append(buffer, static_cast<std::size_t>(got));
      } else if (!platform_tls_pending(session) &&
                 !wait_for(error_code, socket, wait, deadline, result.waits)) {
        break;
      }
    }
  }
  if (error_code != 0) result.reason = platform_failure_reason();
  platform_tls_end(session, true);
  platform_close_socket(socket);
  return result;
}

std::string request_of(std::size_t body_size) {
  std::string body;
  for (std::size_t i = 0; i < body_size; ++i) body.push_back(static_cast<char>('a' + i % 26));
  return "POST /echo HTTP/1.0\r\nContent-Length: " + std::to_string(body_size) + "\r\n\r\n" + body;
}

std::string echo_of(const std::string& request) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(request.size()) + "\r\n\r\n" +
         request;
}

class Win32Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("RAVELOK_TLS_PEER") == nullptr) GTEST_SKIP() << "no TLS peer (RAVELOK_TLS_PEER)";
    ASSERT_FALSE(peer().ports.empty()) << "no ports.txt in " << peer().directory;
  }
};

TEST_F(Win32Tls, ExchangesEndWithTheClose) {
  struct Case {
    const char* behaviour;
    const char* host;
    std::size_t body;
  };
  // Bodies beyond one record (16 KiB) go out and come back in pieces.
  const Case cases[] = {
      {"good", "localhost", 0},
      {"good", "localhost", 70000},
      {"good", "127.0.0.1", 100},
      {"tls12", "localhost", 20000},
      // No close-notify: the TCP close ends the answer all the same.
      {"cut", "localhost", 20000},
      // Through an intermediate the server sends; an IP entry alone names
      // its address; an optional client certificate is not sent.
      {"chained", "localhost", 100},
      {"ip_only", "127.0.0.1", 100},
      {"client_cert", "localhost", 20000},
  };
  for (const Case& c : cases) {
    std::string request = request_of(c.body);
    Session s = run_session(c.behaviour, c.host, "ca.pem", request);
    std::string what = std::string(c.behaviour) + " " + c.host;
    EXPECT_EQ(s.handshake, Outcome::complete) << what << ": " << s.reason;
    EXPECT_EQ(s.exchange, Outcome::complete) << what;
    EXPECT_EQ(s.error_code, 0) << what << ": " << s.reason;
    EXPECT_TRUE(s.answer == echo_of(request)) << what << ": " << s.answer.size() << " bytes";
  }
}

TEST_F(Win32Tls, FailedChecksAndPeersThatAreNotTls) {
  struct Case {
    const char* behaviour;
    const char* host;
    const char* ca_file;
    const char* reason;
  };
  const Case cases[] = {
      {"good", "localhost", "other-ca.pem", "untrusted authority"},
      {"self_signed", "localhost", "ca.pem", "untrusted authority"},
      // Without a CA file, against the system's store.
      {"good", "127.0.0.1", "", "untrusted authority"},
      {"good", "localhost", "", "untrusted authority"},
      {"wrong_name", "localhost", "ca.pem", "name mismatch"},
      {"expired", "localhost", "ca.pem", "expired certificate"},
      {"plain", "localhost", "ca.pem", "not TLS"},
      {"future", "localhost", "ca.pem", "certificate not yet valid"},
      // Names only in subjectAltName DNS entries, whole: never the CN, an IP
      // entry or a name cut at a NUL.
      {"cn_only", "localhost", "ca.pem", "name mismatch"},
      {"ip_only", "localhost", "ca.pem", "name mismatch"},
      {"nul_name", "localhost", "ca.pem", "name mismatch"},
      {"wrong_name", "127.0.0.1", "ca.pem", "name mismatch"},
      {"client_only", "localhost", "ca.pem", "not a server certificate"},
      {"under_leaf", "localhost", "ca.pem", "untrusted authority"},
      // An intermediate in the CA file is no trust anchor.
      {"chained", "localhost", "intermediate.pem", "untrusted authority"},
  };
  for (const Case& c : cases) {
    Session s = run_session(c.behaviour, c.host, c.ca_file, request_of(10));
    std::string what = std::string(c.behaviour) + " " + c.host + " " + c.ca_file;
    EXPECT_EQ(s.handshake, Outcome::failed) << what;
    EXPECT_EQ(s.error_code, 57) << what;
    EXPECT_EQ(s.reason, c.reason) << what;
  }
}

TEST_F(Win32Tls, SilentPeerLeavesTheHandshakeWaiting) {
  auto start = Clock::now();
  Session s = run_session("silent", "localhost", "ca.pem", request_of(10), 600);
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(s.handshake, Outcome::timed_out);
  EXPECT_EQ(s.error_code, 0);
  EXPECT_GE(s.waits, 1);
  EXPECT_LT(waited, 3.0);
}

TEST_F(Win32Tls, RecordThatDoesNotDecryptFailsTheAnswer) {
  struct Case {
    const char* behaviour;
    const char* reason;  // nullptr: the library's
    bool whole_answer;   // the bytes before the failure all came through
  };
  const Case cases[] = {
      {"corrupt", nullptr, false},
      // A TLS 1.2 renegotiation is refused once the answer before it is in.
      {"renegotiate", "renegotiation refused: the server asked to renegotiate", true},
  };
  for (const Case& c : cases) {
    std::string request = request_of(30000);
    Session s = run_session(c.behaviour, "localhost", "ca.pem", request);
    EXPECT_EQ(s.handshake, Outcome::complete) << c.behaviour << ": " << s.reason;
    EXPECT_EQ(s.exchange, Outcome::failed) << c.behaviour;
    EXPECT_EQ(s.error_code, 57) << c.behaviour;
    if (c.reason != nullptr) {
      EXPECT_EQ(s.reason, c.reason);
    }
    if (c.whole_answer) {
      EXPECT_TRUE(s.answer == echo_of(request)) << c.behaviour << ": " << s.answer.size() << " bytes";
    } else {
      EXPECT_LT(s.answer.size(), echo_of(request).size());
    }
  }
}

// A client certificate from a PKCS#12 file and, imported there, from the
// user's store by its thumbprint: a server that requires one takes it, and
// refuses a session without it.
TEST_F(Win32Tls, ClientCertificateFromAFileAndTheStore) {
  TlsClientSource source;
  source.certificate = read_file(peer().directory + "\\client.p12");
  source.password = "p12-pass";
  TlsClientFindings findings;
  ErrorNumber error_code = 0;
  TlsClientCredential* from_file = platform_tls_load_client_credential(error_code, source, findings);
  ASSERT_NE(from_file, nullptr) << findings.problem;
  const std::string request = request_of(100);
  Session s = run_session("client_required", "localhost", "ca.pem", request, 5000, from_file);
  EXPECT_EQ(s.exchange, Outcome::complete) << s.reason;
  EXPECT_TRUE(s.answer == echo_of(request));
  platform_tls_free_client_credential(from_file);
  EXPECT_EQ(run_session("client_required", "localhost", "ca.pem", request).handshake, Outcome::failed);

  // Into CurrentUser\My with its key, found again by thumbprint, then removed.
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(source.certificate.size()),
                          reinterpret_cast<BYTE*>(source.certificate.data())};
  HCERTSTORE imported = PFXImportCertStore(&blob, L"p12-pass", CRYPT_USER_KEYSET);
  ASSERT_NE(imported, nullptr);
  HCERTSTORE mine = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
  ASSERT_NE(mine, nullptr);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(mine, CertEnumCertificatesInStore(imported, nullptr),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &added));
  // Written through now (Wine's registry store writes on a commit).
  CertControlStore(mine, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  BYTE hash[20];
  DWORD size = sizeof hash;
  ASSERT_TRUE(CertGetCertificateContextProperty(added, CERT_HASH_PROP_ID, hash, &size));
  std::string thumbprint;
  for (BYTE b : hash) thumbprint += "0123456789ABCDEF"[b >> 4], thumbprint += "0123456789abcdef"[b & 15];
  TlsClientSource stored;
  stored.store_entry = "CurrentUser\\My\\" + thumbprint;
  TlsClientCredential* from_store = platform_tls_load_client_credential(error_code, stored, findings);
  EXPECT_NE(from_store, nullptr) << findings.problem;
  if (from_store != nullptr) {
    s = run_session("client_required", "localhost", "ca.pem", request, 5000, from_store);
    EXPECT_EQ(s.exchange, Outcome::complete) << s.reason;
  }
  platform_tls_free_client_credential(from_store);
  stored.store_entry.back() = stored.store_entry.back() == '0' ? '1' : '0';
  EXPECT_EQ(platform_tls_load_client_credential(error_code, stored, findings), nullptr);
  EXPECT_EQ(error_code, kErrWrongKind);
  CertDeleteCertificateFromStore(added);
  CertControlStore(mine, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  CertCloseStore(mine, 0);
  CertCloseStore(imported, 0);
}

}  // namespace
