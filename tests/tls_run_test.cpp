// Whole runs over TLS: the request bytes a TLS server decrypts are those a
// plain server receives, nginx's answers are saved byte-exact, and every
// failure ends with its status before any request byte leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "support/job_fixture.h"
#include "support/scripted_server.h"
#include "support/tls_certificates.h"

namespace {

// The same request from another run: the port in the Host line, the
// multipart boundary (drawn at each run) and a Content-Length that counts
// the body exactly written as "PORT", "BOUNDARY" and "LENGTH".
std::string normalised(std::string request, int port) {
  const std::size_t body = request.find("\r\n\r\n");
  const std::string length_label = "\r\nContent-Length: ";
  std::size_t at = request.find(length_label);
  if (at != std::string::npos && body != std::string::npos) {
    at += length_label.size();
    const std::string value = request.substr(at, request.find("\r\n", at) - at);
    if (value == std::to_string(request.size() - body - 4)) request.replace(at, value.size(), "LENGTH");
  }
  const std::string port_text = ":" + std::to_string(port) + "\r\n";
  at = request.find(port_text);
  if (at != std::string::npos) request.replace(at, port_text.size(), ":PORT\r\n");
  const std::string label = "boundary=";
  at = request.find(label);
  if (at != std::string::npos) {
    at += label.size();
    request = replaced(request, request.substr(at, request.find("\r\n", at) - at), "BOUNDARY");
  }
  return request;
}

// True once path exists, waiting up to limit_ms.
bool wait_for_file(const std::string& path, int limit_ms) {
  for (int waited = 0; waited < limit_ms; waited += 10) {
    if (file_exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A real proxy of kind ("tinyproxy", "tinyproxy with BasicAuth user pass",
// or "squid", without a cache) on a free loopback port, its configuration,
// pid and log files in dir, stopped with process. Its port; 0 with why set
// when it is not installed or does not listen within 15 s.
int start_proxy(std::unique_ptr<Background>& process, const std::string& kind, const std::string& dir,
                std::string& why) {
  const bool squid = kind == "squid";
  const std::string binary = squid ? "/usr/sbin/squid" : "/usr/bin/tinyproxy";
  if (!file_exists(binary)) {
    why = binary + " is not installed (scripts/test.sh installs it)";
    return 0;
  }
  const int port = free_loopback_port();
  const std::string conf = dir + "/" + (squid ? "squid" : "tinyproxy") + std::to_string(port) + ".conf";
  if (squid) {
    write_file(conf, "http_port 127.0.0.1:" + std::to_string(port) + "\npid_filename " + conf +
                         ".pid\ncache_log /dev/null\naccess_log none\ncache deny all\ncache_mem 4 MB\n"
                         "pinger_enable off\ndns_nameservers 127.0.0.1\nshutdown_lifetime 0 seconds\n"
                         "coredump_dir " + dir + "\nacl loop src 127.0.0.1/32\nhttp_access allow loop\n"
                         "http_access deny all\n");
    process.reset(new Background({binary, "-N", "-f", conf}));
  } else {
    write_file(conf, "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                         "Allow 127.0.0.1\nLogLevel Error\nLogFile \"" + conf + ".log\"\nPidFile \"" + conf +
                         ".pid\"\n" + (kind == "tinyproxy" ? "" : "BasicAuth user pass\n"));
    process.reset(new Background({binary, "-d", "-c", conf}));
  }
  if (wait_for_listener(port, 15000)) return port;
  why = kind + " did not start";
  return 0;
}

class TlsRun : public WholeRun {
 protected:
  static void SetUpTestSuite() {
    keys_ = new TempDir;
    certificates_ = new TestCertificates(make_test_certificates(keys_->path));
  }
  static void TearDownTestSuite() {
    delete certificates_;
    delete keys_;
  }
  void SetUp() override {
    if (!certificates_->ok) GTEST_SKIP() << certificates_->failure;
  }

  const TestCertificates& certs() const { return *certificates_; }

  // What the tables share: the test authority, a whole answer, a server
  // that never answers.
  const std::string ca = certs().file("ca.pem");
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const ServerScript silent = {.answer = {}, .when = AnswerWhen::never};

  // Starts tests/peers/tls_server.py with NAME.pem (NAME_chain.pem when
  // there is one) and its key, answering with answer, ending as ending, with
  // the further options; or, with ending "renegotiate",
  // tests/peers/renegotiating_server.js. Its port (0 when it did not start).
  int start_python(const std::string& name, const std::string& answer, const std::string& ending = "close",
                   const std::vector<std::string>& options = {}) {
    const std::string tag = std::to_string(++servers_);
    write_file(work.file("answer" + tag), answer);
    record_ = work.file("record" + tag);
    // NAME.pem written out is that certificate alone, without its chain.
    const bool alone = name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0;
    const std::string base = alone ? name.substr(0, name.size() - 4) : name;
    const std::string chain = certs().file(base + "_chain.pem");
    const std::string cert = !alone && file_exists(chain) ? chain : certs().file(base + ".pem");
    const std::string key = certs().file(base + ".key");
    const std::string peers = std::string(RAVELOK_SOURCE_DIR) + "/tests/peers/";
    std::vector<std::string> command = {
        "python3", peers + "tls_server.py", "--port-file", work.file("port" + tag), "--record", record_,
        "--cert", cert, "--key", key, "--answer", work.file("answer" + tag), "--ending", ending};
    if (ending == "renegotiate") {
      command = {"/usr/bin/node", peers + "renegotiating_server.js", work.file("port" + tag), record_, cert, key,
                 work.file("answer" + tag)};
    }
    command.insert(command.end(), options.begin(), options.end());
    python_.reset(new Background(command));
    return wait_for_port_file(work.file("port" + tag), 10000);
  }

  enum class Peer { python, scripted };
  // One failure: the peer, the settings, and what the run must end with.
  struct Case {
    const char* name;
    Peer peer;
    std::string certificate;  // the Python server's
    std::string answer;       // the Python server's
    ServerScript script;      // the scripted server's
    std::string ca_file;      // CAFile
    int status;
    std::string words;  // in the failure line; empty: no failure line
    std::string saved;
    bool request_arrives;  // the request is decrypted by the server
    std::string ending = "close";  // how the Python server ends (tests/peers/tls_server.py)
    std::string upload = "RAVELOK.INI";
    std::string host = "localhost";         // in Site, after https://
    std::vector<std::string> options = {};  // the Python server's further options
    std::vector<std::string> environment = {};
    bool refused_before_connecting = false;  // the scripted server sees no client
    bool posix_only = false;                 // a rule of OpenSSL's that Schannel keeps its own way
    std::vector<std::string> settings = {};  // further [URL] keys
  };

  // Runs the row against its peer: the status, the reason in the failure
  // line, the saved bytes, TEMP empty, the time bound, and what the server
  // decrypted (never the request when the run must fail before it). A host
  // other than localhost is found through a hosts file of the run's own (a
  // private mount namespace); the row is skipped where that cannot be had.
  void check(const Case& row) {
    SCOPED_TRACE(row.name);
    const bool private_hosts = row.host.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos &&
                               row.host != "localhost";
    if (private_hosts && !file_exists("/usr/bin/unshare")) return;
    if (row.posix_only && testing_windows_binary()) return;
    unlink(work.file("answer.txt").c_str());
    std::unique_ptr<ScriptedServer> scripted;
    int port = 0;
    if (row.peer == Peer::python) {
      port = start_python(row.certificate, row.answer, row.ending, row.options);
    } else {
      scripted.reset(new ScriptedServer(row.script));
      port = scripted->ok() ? scripted->port() : 0;
    }
    ASSERT_NE(port, 0);
    RunOptions options{.environment = row.environment, .timeout_ms = 60000};
    if (private_hosts) {
      write_file(work.file("hosts"), "127.0.0.1 localhost " + row.host + "\n");
      options.wrapper = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                         "mount --bind \"$0\" /etc/hosts && exec \"$@\"", work.file("hosts")};
    }
    std::vector<std::string> settings = {"[URL]", "Site=https://" + row.host, "Port=" + std::to_string(port),
                                         "Page=/p", "Save=answer.txt", "CAFile=" + row.ca_file, "Method=POST"};
    settings.insert(settings.end(), row.settings.begin(), row.settings.end());
    settings.insert(settings.end(), {"[Files]", "1=" + row.upload});
    RunResult result = run(settings, options);
    // No password of a client key is ever shown.
    EXPECT_EQ(result.output.find("s3cret"), std::string::npos) << result.output;
    if (private_hosts && result.output.find("mount") != std::string::npos) return;
    EXPECT_EQ(result.status, row.status) << result.output;
    if (row.words.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(row.words), std::string::npos) << result.output;
    }
    EXPECT_EQ(read_file(work.file("answer.txt")), row.saved);
    EXPECT_TRUE(list_directory(temp.path).empty());
    EXPECT_LT(result.seconds, 8.0);
    if (row.peer == Peer::python) {
      ASSERT_TRUE(wait_for_file(record_, 5000));
      EXPECT_EQ(read_file(record_).rfind("POST /p HTTP/1.0\r\n", 0) == 0, row.request_arrives);
      if (!row.request_arrives) {
        EXPECT_EQ(read_file(record_), "");
      }
    } else {
      // A handshake record at most, never the request.
      scripted->stop();
      const std::string arrived = scripted->request();
      EXPECT_TRUE(arrived.empty() || arrived[0] == '\x16');
      EXPECT_EQ(arrived.find("POST /p"), std::string::npos);
      if ((row.status != 57 && row.status != 24) || row.refused_before_connecting) {
        EXPECT_EQ(scripted->accepted(), 0);
      }
    }
    python_.reset();
  }

  static TempDir* keys_;
  static TestCertificates* certificates_;
  std::unique_ptr<Background> python_;
  std::string record_;  // what the Python server decrypted
  int servers_ = 0;
};

TempDir* TlsRun::keys_ = nullptr;
TestCertificates* TlsRun::certificates_ = nullptr;

TEST_F(TlsRun, RequestsArriveAsOverPlainHttp) {
  std::string binary;
  for (int b = 0; b < 256 * 300; ++b) binary.push_back(static_cast<char>(b * 7 % 256));
  write_file(work.file("a.bin"), binary);
  write_file(work.file("b.bin"), std::string("\0\r\n--\xff", 6));
  const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  struct Row {
    const char* name;
    std::vector<std::string> settings;  // after Site and Port
  };
  const Row rows[] = {
      {"GET", {"Page=/find", "[Vars]", "1=q=a b", "2=odd=%&\x01\xff"}},
      {"form POST", {"Page=/post", "Method=post", "[Vars]", "1=name=Joan Serra", "2=x=&="}},
      {"upload POST", {"Page=/up", "Method=POST", "[Vars]", "1=author=Marta", "[Files]", "1=a.bin", "2=b.bin"}},
  };
  // The same requests through real proxies: plain HTTP with the whole URL
  // (the proxy forwards the path, the body and every line of the program's
  // own, adding its own lines), HTTPS through CONNECT to the same server,
  // credentials for the proxy alone.
  const char* const kinds[] = {"tinyproxy", "squid", "tinyproxy with BasicAuth user pass"};
  std::unique_ptr<Background> proxies[3];
  int proxy_ports[3] = {};
  for (int k = 0; k < 3; ++k) {
    std::string why;
    proxy_ports[k] = start_proxy(proxies[k], kinds[k], work.path, why);
    if (proxy_ports[k] == 0) std::printf("not through %s: %s\n", kinds[k], why.c_str());
  }
  for (const Row& row : rows) {
    ScriptedServer plain({.answer = {{answer}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(plain.ok()) << plain.failure();
    std::vector<std::string> settings = {"[URL]", "Site=localhost", "Port=" + std::to_string(plain.port()),
                                         "Save=answer.txt"};
    settings.insert(settings.end(), row.settings.begin(), row.settings.end());
    RunResult plain_run = run(settings, {.timeout_ms = 60000});
    ASSERT_TRUE(plain.wait_done(5000)) << row.name;
    EXPECT_EQ(plain_run.status, 0) << row.name << plain_run.output;

    const int port = start_python("server", answer);
    ASSERT_NE(port, 0) << row.name;
    unlink(work.file("answer.txt").c_str());
    settings[1] = "Site=https://localhost";
    settings[2] = "Port=" + std::to_string(port);
    settings.insert(settings.begin() + 3, "CAFile=" + ca);
    RunResult secure_run = run(settings, {.timeout_ms = 60000});
    EXPECT_EQ(secure_run.status, 0) << row.name << secure_run.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "ok\r\n") << row.name;
    ASSERT_TRUE(wait_for_file(record_, 5000)) << row.name;
    // Only the sizes are shown: the requests hold binary files.
    const std::string secure_request = read_file(record_);
    EXPECT_TRUE(normalised(secure_request, port) == normalised(plain.request(), plain.port()))
        << row.name << ": " << secure_request.size() << " bytes over TLS, " << plain.request().size() << " plain";
    EXPECT_TRUE(list_directory(temp.path).empty()) << row.name;

    for (int k = 0; k < 3; ++k) {
      if (proxy_ports[k] == 0) continue;
      SCOPED_TRACE(std::string(row.name) + " through " + kinds[k]);
      const std::string at = "127.0.0.1:" + std::to_string(proxy_ports[k]);
      const bool credentials = k == 2;
      const RunOptions via_proxy{.environment = {"http_proxy=" + at, "https_proxy=" + at}, .timeout_ms = 60000};
      std::vector<std::string> through = {"[URL]", "Site=localhost", "", "Save=answer.txt"};
      if (credentials) through.push_back("Proxy=user:pass@" + at);
      through.insert(through.end(), row.settings.begin(), row.settings.end());
      ScriptedServer server({.answer = {{answer}}, .when = AnswerWhen::after_request});
      ASSERT_TRUE(server.ok());
      through[2] = "Port=" + std::to_string(server.port());
      RunResult proxied = run(through, via_proxy);
      EXPECT_EQ(proxied.status, 0) << proxied.output;
      EXPECT_EQ(read_file(work.file("answer.txt")), "ok\r\n");
      server.stop();
      // The path and the body exactly, and each of the program's lines.
      const std::string got = normalised(server.request(), server.port());
      const std::size_t got_end = got.find("\r\n\r\n");
      const std::string expected = normalised(plain.request(), plain.port());
      const std::size_t expected_end = expected.find("\r\n\r\n");
      EXPECT_EQ(got.substr(0, got.find(" HTTP/")), expected.substr(0, expected.find(" HTTP/")));
      EXPECT_TRUE(got_end != std::string::npos && got.substr(got_end) == expected.substr(expected_end));
      for (std::size_t from = expected.find("\r\n") + 2; from < expected_end;) {
        const std::size_t end = expected.find("\r\n", from);
        EXPECT_NE(got.find(expected.substr(from, end - from + 2)), std::string::npos) << expected.substr(from, end - from);
        from = end + 2;
      }
      EXPECT_EQ(got.find("Proxy-Authorization"), std::string::npos);

      // HTTPS: the server decrypts exactly the direct request.
      const int secure_port = start_python("server", answer);
      ASSERT_NE(secure_port, 0);
      through[1] = "Site=https://localhost";
      through[2] = "Port=" + std::to_string(secure_port);
      through.insert(through.begin() + 3, "CAFile=" + ca);
      RunResult tunnelled = run(through, via_proxy);
      EXPECT_EQ(tunnelled.status, 0) << tunnelled.output;
      ASSERT_TRUE(wait_for_file(record_, 5000));
      EXPECT_TRUE(normalised(read_file(record_), secure_port) == normalised(plain.request(), plain.port()));
      if (k == 0 && &row == &rows[0]) {
        // Inside the tunnel the server's certificate is checked as on a
        // direct connection: a self-signed one is refused, nothing decrypted.
        through[2] = "Port=" + std::to_string(start_python("self", answer));
        RunResult refused = run(through, via_proxy);
        EXPECT_EQ(refused.status, 57);
        EXPECT_NE(refused.output.find("localhost port " + through[2].substr(5) + ": untrusted authority (57"),
                  std::string::npos) << refused.output;
        ASSERT_TRUE(wait_for_file(record_, 5000));
        EXPECT_EQ(read_file(record_), "");
      }
      if (credentials) {
        // Without them the proxy refuses the tunnel, and says so.
        through.erase(std::find(through.begin(), through.end(), "Proxy=user:pass@" + at));
        RunResult refused = run(through, via_proxy);
        EXPECT_EQ(refused.status, 57);
        EXPECT_NE(refused.output.find("it answered 407 Proxy Authentication Required; it wants credentials"),
                  std::string::npos) << refused.output;
      }
    }
  }
}

// A redirect from HTTPS down to plain HTTP is refused whatever Follow
// says: nothing reaches the plain server, and the redirect is saved.
TEST_F(TlsRun, RedirectDownToPlainHttpRefused) {
  ScriptedServer plain({.answer = {{ok}}, .when = AnswerWhen::after_request, .accept_limit_ms = 3000});
  ASSERT_TRUE(plain.ok());
  const std::string location = "http://127.0.0.1:" + std::to_string(plain.port()) + "/x";
  const int port = start_python("server", "HTTP/1.0 302 Found\r\nLocation: " + location +
                                              "\r\nContent-Length: 5\r\n\r\nmoved");
  ASSERT_NE(port, 0);
  RunResult result = run({"[URL]", "Site=https://localhost", "Port=" + std::to_string(port), "Page=/p",
                          "Save=answer.txt", "CAFile=" + ca, "Follow=5", "User=u", "Password=secret"},
                         {.timeout_ms = 60000});
  plain.stop();
  EXPECT_EQ(result.status, 48) << result.output;
  EXPECT_NE(result.output.find("redirect from localhost port " + std::to_string(port) + " refused: Location \"" +
                               location + "\" leads from HTTPS down to plain HTTP (48 redirect refused)\n"),
            std::string::npos) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "moved\r\n");
  EXPECT_EQ(plain.accepted(), 0);
  ASSERT_TRUE(wait_for_file(record_, 5000));
  EXPECT_EQ(read_file(record_).rfind("GET /p? HTTP/1.0\r\n", 0), 0u);
}

// nginx with TLS: a 100 MB answer and a 404 saved byte-exact, and the
// system's store read by hashed directory (SSL_CERT_DIR here).
TEST_F(TlsRun, NginxAnswersSavedByteExact) {
  if (!file_exists(kNginx)) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
  ASSERT_EQ(mkdir(work.file("www").c_str(), 0755), 0);
  std::string big(100u << 20, '\0');
  std::mt19937_64 generator(20261209);
  for (std::size_t i = 0; i < big.size(); i += 8) {
    const std::uint64_t word = generator();
    std::memcpy(&big[i], &word, 8);
  }
  write_file(work.file("www/big.bin"), big);
  write_file(work.file("www/small.txt"), "small answer");
  // A hashed directory that holds the test authority alone.
  ASSERT_EQ(mkdir(work.file("certs").c_str(), 0755), 0);
  ASSERT_EQ(std::system(("cp '" + ca + "' '" + work.file("certs") +
                         "' && /usr/bin/openssl rehash '" + work.file("certs") + "' >/dev/null 2>&1").c_str()), 0);
  const int port = free_loopback_port();
  std::optional<Background> server;
  ASSERT_TRUE(start_nginx(server, work.path, port,
                          "listen 127.0.0.1:" + std::to_string(port) + " ssl; root " + work.file("www") +
                              "; ssl_certificate " + certs().file("server.pem") + "; ssl_certificate_key " +
                              certs().file("server.key") + ";"))
      << read_file(work.file("error.log"));

  struct Row {
    std::string page;
    std::string ca_file;    // empty: the system's store
    std::string cert_dir;   // SSL_CERT_DIR, for the system's store
    std::string expected;   // the saved bytes less the final CR LF; empty: not compared
    std::string contained;  // found in the saved bytes
  };
  const Row rows[] = {
      {"/big.bin", ca, "", "", ""},
      {"/missing", ca, "", "", "404 Not Found"},
      {"/small.txt", "", work.file("certs"), "small answer", ""},
  };
  for (const Row& row : rows) {
    // Windows trusts its own store, which holds no test authority.
    if (!row.cert_dir.empty() && testing_windows_binary()) continue;
    unlink(work.file("saved.bin").c_str());
    RunOptions options{.timeout_ms = 120000};
    if (!row.cert_dir.empty()) options.environment = {"SSL_CERT_DIR=" + row.cert_dir};
    RunResult result = run({"[URL]", "Site=https://127.0.0.1", "Port=" + std::to_string(port), "Page=" + row.page,
                            "Save=" + work.file("saved.bin"), "CAFile=" + row.ca_file}, options);
    EXPECT_EQ(result.status, 0) << row.page << result.output;
    const std::string saved = read_file(work.file("saved.bin"));
    if (row.page == "/big.bin") {
      EXPECT_TRUE(saved == big + "\r\n") << "saved " << saved.size() << " bytes";
    } else if (!row.expected.empty()) {
      EXPECT_EQ(saved, row.expected + "\r\n");
    } else {
      EXPECT_NE(saved.find(row.contained), std::string::npos) << saved;
    }
    EXPECT_TRUE(list_directory(temp.path).empty()) << row.page;
  }
}

// nginx asking for a client certificate of the test authority: each form
// of ClientCert is offered (nginx answers with the certificate's subject);
// a redirect to another port of the same host goes without it, one to the
// same origin with it; through a proxy it goes inside the tunnel.
TEST_F(TlsRun, ClientCertificatesOfferedToTheSiteAlone) {
  if (!file_exists(kNginx)) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
  const int port = free_loopback_port();
  const int other = free_loopback_port();
  const std::string tls = " ssl; ssl_certificate " + certs().file("server.pem") + "; ssl_certificate_key " +
                          certs().file("server.key") + "; ssl_client_certificate " + ca + "; ";
  std::optional<Background> server;
  ASSERT_TRUE(start_nginx(server, work.path, port,
                          "listen 127.0.0.1:" + std::to_string(port) + tls + "ssl_verify_client on; "
                          "location /away { return 302 https://localhost:" + std::to_string(other) + "/who; } "
                          "location /here { return 302 /who; } location / { return 200 \"$ssl_client_s_dn\"; } } "
                          "server { listen 127.0.0.1:" + std::to_string(other) + tls +
                          "ssl_verify_client optional; return 200 \"$ssl_client_verify\";"))
      << read_file(work.file("error.log"));
  std::unique_ptr<Background> proxy;
  std::string why;
  const int proxy_port = start_proxy(proxy, "tinyproxy", work.path, why);
  const std::string pem = "ClientCert=" + certs().file("client.pem");
  const std::string p12 = "ClientCert=" + certs().file("client.p12");
  const std::string subject = "CN=ravelok-test-client\r\n";
  struct Row {
    const char* name;
    std::vector<std::string> settings;
    std::string saved;
    std::vector<std::string> environment = {};
  };
  const Row rows[] = {
      {"PEM pair", {pem, "ClientKey=" + certs().file("client.key")}, subject},
      {"certificate and key in one file", {"ClientCert=" + certs().file("client_both.pem")}, subject},
      {"encrypted key, password from the environment",
       {pem, "ClientKey=" + certs().file("client_enc.key"), "ClientKeyPassword=${KEY_PASSWORD}"}, subject,
       {"KEY_PASSWORD=s3cret-pass"}},
      {"PKCS#12", {p12, "ClientKeyPassword=${KEY_PASSWORD}"}, subject, {"KEY_PASSWORD=s3cret-pass"}},
      {"redirect to the same origin", {p12, "ClientKeyPassword=s3cret-pass", "Page=/here"}, subject},
      {"redirect to another port", {p12, "ClientKeyPassword=s3cret-pass", "Page=/away"}, "NONE\r\n"},
      {"through a proxy", {p12, "ClientKeyPassword=s3cret-pass"}, subject,
       {"https_proxy=127.0.0.1:" + std::to_string(proxy_port)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.environment.empty() && row.environment[0].rfind("https_proxy", 0) == 0 && proxy_port == 0) continue;
    // Windows takes PKCS#12 alone.
    if (testing_windows_binary() && row.settings[0].find(".p12") == std::string::npos) continue;
    std::vector<std::string> settings = {"[URL]", "Site=https://localhost", "Port=" + std::to_string(port),
                                         "Save=answer.txt", "CAFile=" + ca, "Follow=1"};
    settings.insert(settings.end(), row.settings.begin(), row.settings.end());
    RunResult result = run(settings, {.environment = row.environment, .timeout_ms = 60000});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), row.saved);
  }
  // --check warns of a client certificate out of its dates.
  if (testing_windows_binary()) return;
  write_file(work.file("RAVELOK.INI"), ini({"[URL]", "Site=https://localhost", "ClientCert=" + certs().file("expired.pem"),
                                            "ClientKey=" + certs().file("expired.key")}));
  RunResult checked = run_binary({.arguments = {"--check", work.path}});
  EXPECT_EQ(checked.output, "[URL] ClientCert: the certificate has expired; servers will refuse it\n");
}

// Every failure: its status, its reason in the failure line, no request
// byte sent, the save file as for a refused connection, TEMP empty.
TEST_F(TlsRun, FailuresEndBeforeAnyRequestByte) {
  write_file(work.file("empty.pem"), "not a certificate\n");
  ASSERT_EQ(mkdir(work.file("dir.pem").c_str(), 0755), 0);
  const std::string cut = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npartial";
  const std::string big(5000, 'b');
  write_file(work.file("big.bin"), std::string(16 << 20, 'u'));
  const std::vector<Case> rows = {
      {"untrusted authority", Peer::python, "server", "", {}, certs().file("self.pem"), 57,
       ": untrusted authority (57 network failure)", "\r\n", false},
      {"wrong host name", Peer::python, "other", "", {}, ca, 57, ": name mismatch (57", "\r\n", false},
      {"expired", Peer::python, "expired", "", {}, ca, 57, ": expired certificate (57", "\r\n", false},
      {"self-signed not in CAFile", Peer::python, "self", "", {}, ca, 57, ": untrusted authority (57",
       "\r\n", false},
      {"plain HTTP on the TLS port", Peer::scripted, "", "",
       {.answer = {{"HTTP/1.0 400 Bad Request\r\n\r\nplain"}}, .when = AnswerWhen::after_bytes, .after_bytes = 1},
       ca, 57, ": not TLS (57", "\r\n", false},
      {"stalls in the handshake", Peer::scripted, "", "", silent, ca, 24,
       " within 3 s (24 time-out)", "\r\n", false},
      {"resets in the handshake", Peer::scripted, "", "",
       {.answer = {}, .when = AnswerWhen::after_bytes, .after_bytes = 1, .end = EndAction::reset}, ca, 57,
       ": handshake failure", "\r\n", false},
      {"closes mid-body without close-notify", Peer::python, "server", cut, {}, ca, 62,
       "cut short: 7 of 100 body bytes", "partial\r\n", true},
      {"a record that does not decrypt mid-body", Peer::python, "server", cut, {}, ca, 57,
       "failed while reading the answer: ", "partial\r\n", true, "garbage"},
      // The close-notify read with the last bytes: later receives must not
      // wait for a TCP close that only comes after the client's.
      {"close-notify, the connection held", Peer::python, "server", "HTTP/1.0 200 OK\r\n\r\n" + big, {}, ca, 0,
       "", big + "\r\n", true, "notify"},
      // Sending waits only when the session cannot go on, and then within
      // the time-out: one wait for room, one for an answer.
      {"stops reading after the handshake", Peer::python, "server", "", {}, ca, 24,
       "stopped taking the request (24 time-out)", "\r\n", false, "deaf", "big.bin"},
      {"closes without close-notify, no length", Peer::python, "server", "HTTP/1.0 200 OK\r\n\r\nwhole", {}, ca,
       0, "", "whole\r\n", true},
      {"CAFile missing", Peer::scripted, "", "", silent, "absent.pem", 53, "cannot read CAFile \"absent.pem\": ",
       "\r\n", false},
      {"CAFile unreadable", Peer::scripted, "", "", silent, "dir.pem", 70, "cannot read CAFile \"dir.pem\"", "\r\n",
       false},
      {"CAFile without a certificate", Peer::scripted, "", "", silent, "empty.pem", 54,
       "cannot read CAFile \"empty.pem\": holds no certificate (54", "\r\n", false},
      // A client certificate the server refuses, or one that cannot be
      // used, found before connecting: the save file is left alone.
      {"no client certificate, one required", Peer::python, "server", ok, {}, ca, 57,
       "the server refused the client certificate: certificate required (57", "\r\n", false, "close",
       "RAVELOK.INI", "localhost", {"--client-ca", ca}, {}, false, true},
      {"client certificate from another authority", Peer::python, "server", ok, {}, ca, 57,
       "the server refused the client certificate: unknown ca (57", "\r\n", false, "close", "RAVELOK.INI",
       "localhost", {"--client-ca", ca}, {}, false, false,
       {"ClientCert=" + certs().file("stranger.p12"), "ClientKeyPassword=s3cret-pass"}},
      {"a client certificate, a server that does not ask", Peer::python, "server", ok, {}, ca, 0, "", "ok\r\n",
       true, "close", "RAVELOK.INI", "localhost", {}, {}, false, false,
       {"ClientCert=" + certs().file("client.p12"), "ClientKeyPassword=s3cret-pass"}},
      {"ClientCert missing", Peer::scripted, "", "", silent, ca, 53, "cannot use ClientCert \"absent.pem\": ",
       "", false, "close", "RAVELOK.INI", "localhost", {}, {}, true, false, {"ClientCert=absent.pem"}},
      {"ClientKey unreadable", Peer::scripted, "", "", silent, ca, 70, "cannot use ClientKey \"dir.pem\"", "",
       false, "close", "RAVELOK.INI", "localhost", {}, {}, true, false,
       {"ClientCert=" + certs().file("client.pem"), "ClientKey=dir.pem"}},
      {"ClientCert without a certificate", Peer::scripted, "", "", silent, ca, 54,
       "cannot use ClientCert \"empty.pem\": holds no certificate (neither PEM nor PKCS#12) (54", "", false,
       "close", "RAVELOK.INI", "localhost", {}, {}, true, false, {"ClientCert=empty.pem"}},
      {"encrypted key, wrong password", Peer::scripted, "", "", silent, ca, 54,
       "ClientKey \"" + certs().file("client_enc.key") + "\": ClientKeyPassword does not open the key (54",
       "", false, "close", "RAVELOK.INI", "localhost", {}, {}, true, true,
       {"ClientCert=" + certs().file("client.pem"), "ClientKey=" + certs().file("client_enc.key"),
        "ClientKeyPassword=not-the-s3cret"}},
      {"PKCS#12, wrong password", Peer::scripted, "", "", silent, ca, 54,
       "ClientKeyPassword does not open the PKCS#12 file (54", "", false, "close", "RAVELOK.INI",
       "localhost", {}, {}, true, false, {"ClientCert=" + certs().file("client.p12"), "ClientKeyPassword=s3cret"}},
      {"key of another certificate", Peer::scripted, "", "", silent, ca, 54,
       "the key does not match the certificate (54", "", false, "close", "RAVELOK.INI", "localhost", {}, {},
       true, true, {"ClientCert=" + certs().file("client.pem"), "ClientKey=" + certs().file("stranger.key")}},
  };
  for (const Case& row : rows) check(row);
}

// What the certificate must name: subjectAltName entries alone, a wildcard
// for one whole left-most label, an address only as an address.
TEST_F(TlsRun, NamesCheckedAsWritten) {
  const std::string mismatch = ": name mismatch (57";
  const std::vector<Case> rows = {
      {"Common Name only", Peer::python, "cn_only", ok, {}, ca, 57, mismatch, "\r\n", false},
      {"IP address only, for a name", Peer::python, "ip_only", ok, {}, ca, 57, mismatch, "\r\n", false},
      {"IP address only, for the address", Peer::python, "ip_only", ok, {}, ca, 0, "", "ok\r\n", true,
       "close", "RAVELOK.INI", "127.0.0.1"},
      {"DNS name for an address", Peer::python, "dns_address", ok, {}, ca, 57, mismatch, "\r\n", false,
       "close", "RAVELOK.INI", "127.0.0.1"},
      {"wildcard, one label", Peer::python, "wildcard", ok, {}, ca, 0, "", "ok\r\n", true, "close",
       "RAVELOK.INI", "www.test.example"},
      {"wildcard, two labels", Peer::python, "wildcard", ok, {}, ca, 57, mismatch, "\r\n", false, "close",
       "RAVELOK.INI", "a.b.test.example"},
      {"wildcard, bare", Peer::python, "wildcard", ok, {}, ca, 57, mismatch, "\r\n", false, "close",
       "RAVELOK.INI", "test.example"},
      {"wildcard, too broad", Peer::python, "broad", ok, {}, ca, 57, mismatch, "\r\n", false, "close",
       "RAVELOK.INI", "www.example"},
      {"wildcard, partial label", Peer::python, "partial", ok, {}, ca, 57, mismatch, "\r\n", false, "close",
       "RAVELOK.INI", "www.test.example"},
      // Read leniently, these are 127.0.0.8 and 127.0.0.1: no connection.
      {"127.0.0.010", Peer::scripted, "", "", silent, ca, 57, "\"127.0.0.010\" is no plain address", "\r\n",
       false, "close", "RAVELOK.INI", "127.0.0.010", {}, {}, true},
      {"127.1", Peer::scripted, "", "", silent, ca, 57, "\"127.1\" is no plain address", "\r\n", false,
       "close", "RAVELOK.INI", "127.1", {}, {}, true},
      {"a name that begins with a dot", Peer::scripted, "", "", silent, ca, 57, "\".test.example\" is no host name",
       "\r\n", false, "close", "RAVELOK.INI", ".test.example", {}, {}, true},
  };
  for (const Case& row : rows) check(row);
}

// The chain must lead from the server's certificate to a trusted root,
// every link valid and able to sign; the CAFile is read whole first.
TEST_F(TlsRun, ChainsCheckedToATrustedRoot) {
  const std::string untrusted = ": untrusted authority (57";
  const std::string block = "-----BEGIN CERTIFICATE-----\n";
  const std::string end = "-----END CERTIFICATE-----\n";
  write_file(work.file("broken.pem"), block + "not base64!\n" + end + read_file(ca));
  write_file(work.file("not_der.pem"), read_file(ca) + block + "AAAA\n" + end);
  const std::vector<Case> rows = {
      {"through an intermediate", Peer::python, "via_inter", ok, {}, ca, 0, "", "ok\r\n", true},
      {"intermediate missing", Peer::python, "via_inter.pem", ok, {}, ca, 57, untrusted, "\r\n", false},
      {"CAFile holding only the intermediate", Peer::python, "via_inter", ok, {}, certs().file("inter.pem"), 57,
       untrusted, "\r\n", false},
      {"expired intermediate", Peer::python, "via_expired", ok, {}, ca, 57, ": expired certificate (57", "\r\n",
       false},
      {"issuer that is no authority", Peer::python, "via_not_ca", ok, {}, ca, 57, untrusted, "\r\n", false},
      {"for clients only", Peer::python, "client_only", ok, {}, ca, 57, ": not a server certificate (57",
       "\r\n", false},
      {"broken block before a good root", Peer::scripted, "", "", silent, "broken.pem", 54,
       "\"broken.pem\": block 1 is not a readable certificate: it is not valid base64 (54", "\r\n", false},
      {"base64 that is no certificate", Peer::scripted, "", "", silent, "not_der.pem", 54,
       "block 2 is not a readable certificate: the TLS library cannot read it", "\r\n", false},
  };
  for (const Case& row : rows) check(row);
}

// The protocol: no suite without a certificate, whatever the system's
// policy; no version before TLS 1.2; no renegotiation; a request for a
// client certificate is answered without one.
TEST_F(TlsRun, ProtocolHoldsWhateverThePolicy) {
  write_file(work.file("permissive.cnf"),
             "openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = policy\n"
             "[policy]\nCipherString = ALL:@SECLEVEL=0\n");
  // A ServerHello for TLS 1.0 or 1.1, whatever the client offered.
  auto hello = [](char minor) {
    return std::string("\x16\x03") + minor + std::string("\x00\x2a\x02\x00\x00\x26\x03", 7) + minor +
           std::string(32, 'r') + std::string("\x00\xc0\x2f\x00", 4);
  };
  auto replying = [](const std::string& bytes) {
    return ServerScript{.answer = {{bytes}}, .when = AnswerWhen::after_bytes, .after_bytes = 1};
  };
  const std::string cut = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npartial";
  const std::vector<Case> rows = {
      {"anonymous suite, permissive policy", Peer::python, "", ok, {}, ca, 57, ": handshake failure", "\r\n",
       false, "close", "RAVELOK.INI", "localhost", {"--anonymous"},
       {"OPENSSL_CONF=" + work.file("permissive.cnf")}},
      // OpenSSL's policy alone: Schannel keeps its own key sizes.
      {"a 1,024-bit key, permissive policy", Peer::python, "weak", ok, {}, ca, 57, ": untrusted certificate: EE", "\r\n",
       false, "close", "RAVELOK.INI", "localhost", {"--ciphers", "DEFAULT:@SECLEVEL=0"},
       {"OPENSSL_CONF=" + work.file("permissive.cnf")}, false, true},
      {"TLS 1.0 reply", Peer::scripted, "", "", replying(hello('\x01')), ca, 57, ": handshake failure", "\r\n",
       false},
      {"TLS 1.1 reply", Peer::scripted, "", "", replying(hello('\x02')), ca, 57, ": handshake failure", "\r\n",
       false},
      {"renegotiation asked after the request", Peer::python, "server", cut, {}, ca, 57,
       "failed while reading the answer: renegotiation refused", "partial\r\n", true, "renegotiate"},
      {"client certificate asked for", Peer::python, "server", ok, {}, ca, 0, "", "ok\r\n", true, "close",
       "RAVELOK.INI", "localhost", {"--tls12", "--ask-client-cert"}},
  };
  for (const Case& row : rows) check(row);
}

}  // namespace
