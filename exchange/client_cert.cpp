#include "exchange/client_cert.h"

#include "exchange/ca_file.h"
#include "platform/ascii.h"

namespace {

// Reads one named file into bytes; false with the failure recorded.
bool read_named(Failure& failure, const std::string& name, std::int32_t index, std::string& bytes) {
  ErrorNumber error_code = 0;
  bytes = read_whole_file(error_code, name);
  if (error_code == kErrPathNotFound) error_code = kErrNotFound;
  note_failure(failure, error_code, Step::client_cert, name, failure_reason(error_code));
  if (error_code != 0) failure.index = index;
  return error_code == 0;
}

}  // namespace

TlsClientCredential* load_client_certificate(Failure& failure, const ClientCertificate& certificate,
                                             TlsClientFindings& findings) {
  if (certificate.certificate.empty()) return nullptr;
  TlsClientSource source;
  source.password = certificate.password;
  const std::string& name = certificate.certificate;
  if (equal_ignoring_ascii_case(name.substr(0, 5), "cert:")) {
    source.store_entry = name.substr(5);
  } else if (!read_named(failure, name, 0, source.certificate)) {
    return nullptr;
  }
  if (!certificate.key.empty() && !read_named(failure, certificate.key, 1, source.key)) return nullptr;
  ErrorNumber error_code = 0;
  TlsClientCredential* credential = platform_tls_load_client_credential(error_code, source, findings);
  if (credential == nullptr) {
    const std::string reason = error_code == kErrWrongKind ? findings.problem : failure_reason(error_code);
    note_failure(failure, error_code, Step::client_cert, findings.in_key ? certificate.key : name, reason);
    failure.index = findings.in_key ? 1 : 0;
  }
  return credential;
}
