// Win32 backend: the program's own check of a TLS server's certificate
// after the handshake, on CryptoAPI, by the rules the POSIX backend has from
// OpenSSL, so that both systems accept the same certificates: a chain engine
// whose only roots are the CA file's certificates (none: the system's), the
// chain's whole trust status, and the name or address against
// subjectAltName alone. No SSL policy is asked: it would fall back to the
// subject's common name, and Wine's lets a chain pass that the status
// refuses.

#include "platform/win32/tls_verify.h"

#include <algorithm>
#include <cstring>

#include "platform/tls_names.h"

namespace {

constexpr char kUntrusted[] = "untrusted authority";
constexpr char kNameMismatch[] = "name mismatch";
constexpr char kExpired[] = "expired certificate";
constexpr char kNotYetValid[] = "certificate not yet valid";
constexpr char kNotServer[] = "not a server certificate";
constexpr char kNoCertificate[] = "untrusted authority: the server showed no certificate";
constexpr char kRootUnusable[] = "untrusted authority: a CAFile certificate cannot be used";

// Puts the DER certificates of roots into store; the count added.
int add_roots(HCERTSTORE store, const std::vector<std::string>& roots) {
  int added = 0;
  for (const std::string& der : roots) {
    if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         reinterpret_cast<const BYTE*>(der.data()),
                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                         nullptr)) {
      ++added;
    }
  }
  return added;
}

// The tags of the subjectAltName entries the program reads: dNSName [2]
// and iPAddress [7], both primitive and context-specific.
constexpr BYTE kAltDnsName = 0x82;
constexpr BYTE kAltIpAddress = 0x87;

// Reads the tag and definite length of the DER item at at, which moves to
// its contents; false when the bytes do not hold the whole item.
bool der_item(const BYTE* data, std::size_t size, std::size_t& at, BYTE& tag,
              std::size_t& length) {
  if (size - at < 2) return false;
  tag = data[at++];
  const std::size_t first = data[at++];
  if ((tag & 0x1F) == 0x1F) return false;  // a tag of several bytes: none here
  length = first;
  if (first >= 0x80) {
    const std::size_t count = first & 0x7F;
    if (count == 0 || count > 4 || size - at < count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[at++];
  }
  return length <= size - at;
}

// The certificate's subjectAltName entries with tag, as their bytes stand
// in the certificate; none without the extension, with two of them (as
// OpenSSL reads none then) or when it cannot be read. The entries are read
// from the encoding rather than through CryptDecodeObjectEx, which gives a
// DNS name as a string that ends at a NUL: "localhost\0.example.org" would
// read as "localhost".
std::vector<std::string> alt_names(PCCERT_CONTEXT certificate, BYTE tag) {
  std::vector<std::string> found;
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension = nullptr;
  for (DWORD i = 0; i < info->cExtension; ++i) {
    if (std::strcmp(info->rgExtension[i].pszObjId, szOID_SUBJECT_ALT_NAME2) != 0) continue;
    if (extension != nullptr) return found;
    extension = &info->rgExtension[i];
  }
  if (extension == nullptr) return found;
  const BYTE* data = extension->Value.pbData;
  const std::size_t size = extension->Value.cbData;
  std::size_t at = 0;
  BYTE item = 0;
  std::size_t length = 0;
  if (!der_item(data, size, at, item, length) || item != 0x30 || at + length != size) return {};
  while (at < size) {
    if (!der_item(data, size, at, item, length)) return {};
    if (item == tag) found.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  return found;
}

// True when the certificate names peer, as OpenSSL checks it: an address
// against the IP entries of subjectAltName, a name against its DNS entries
// (dns_name_matches), never the subject's common name. A certificate
// without such an entry names nobody.
bool names_peer(const TlsPeer& peer, PCCERT_CONTEXT certificate) {
  if (!peer.address.empty()) {
    for (const std::string& address : alt_names(certificate, kAltIpAddress)) {
      if (address == peer.address) return true;
    }
    return false;
  }
  for (const std::string& name : alt_names(certificate, kAltDnsName)) {
    if (dns_name_matches(name, peer.name)) return true;
  }
  return false;
}

// The key usage bits of the certificate's first byte; false when it has
// no key usage extension.
bool key_usage(PCCERT_CONTEXT certificate, BYTE& usage) {
  usage = 0;
  return CertGetIntendedKeyUsage(X509_ASN_ENCODING, certificate->pCertInfo, &usage, 1) != FALSE;
}

// True when the certificate may issue others, by OpenSSL's rule: a key
// usage, where there is one, that allows signing certificates, and basic
// constraints that say CA; without basic constraints only a trust anchor
// that is a version 1 certificate or has a key usage.
bool acts_as_ca(PCCERT_CONTEXT certificate, bool anchor) {
  const CERT_INFO* info = certificate->pCertInfo;
  BYTE usage = 0;
  const bool has_usage = key_usage(certificate, usage);
  if (has_usage && (usage & CERT_KEY_CERT_SIGN_KEY_USAGE) == 0) return false;
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return anchor && (info->dwVersion == CERT_V1 || has_usage);
  CERT_BASIC_CONSTRAINTS2_INFO constraints;
  DWORD size = sizeof constraints;
  return CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2,
                             extension->Value.pbData, extension->Value.cbData, 0, nullptr,
                             &constraints, &size) != FALSE &&
         constraints.fCA != FALSE;
}

// Trust status bits the program leaves aside. The revocation ones can come
// only from a revocation check, which the chain is not asked for (OpenSSL's
// verification makes none either); time nesting is obsolete, and OpenSSL
// checks each certificate's own validity alone.
constexpr DWORD kIgnoredTrust = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED;
// Bits that say the chain reaches no trust anchor.
constexpr DWORD kNoAnchor = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                            CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_EXPLICIT_DISTRUST;
// Bits read with each certificate's signature and dates, after the name.
constexpr DWORD kSignatureAndTime =
    CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_NOT_TIME_VALID;
// Name constraints, read last as OpenSSL does.
constexpr DWORD kNameConstraints =
    CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;

// True when the certificate is one of roots, the CA file's certificates.
bool among_roots(const std::vector<std::string>& roots, PCCERT_CONTEXT certificate) {
  const std::string der(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                        certificate->cbCertEncoded);
  return std::find(roots.begin(), roots.end(), der) != roots.end();
}

// The words for the first check the chain of server fails, in the order
// OpenSSL's verification meets them; nullptr when it passes every one. The
// whole trust status counts, not only the bits an SSL policy looks at (Wine's
// lets a certificate issued by one that is no CA pass):
//   1. the chain ends at a self-signed trust anchor: the system's, or one of
//      the CA file's certificates, never an intermediate alone;
//   2. from the server's certificate up: every other status bit, an issuer
//      that is no CA, then the usage (serverAuth, and a key usage that
//      allows a TLS key exchange);
//   3. the name or address;
//   4. from the anchor down: each signature, then each certificate's dates;
//   5. name constraints and whatever else the status holds.
const char* chain_verdict(const TlsPeer& peer, const std::vector<std::string>& roots,
                          PCCERT_CONTEXT server, HCERTCHAINENGINE engine) {
  CERT_CHAIN_PARA chain_para;
  std::memset(&chain_para, 0, sizeof chain_para);
  chain_para.cbSize = sizeof chain_para;
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {server_auth};
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // The intermediates come from what the server sent (and, without a CA
  // file, the system's stores); nothing is fetched, as OpenSSL fetches
  // nothing.
  if (!CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &chain_para,
                               CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA,
                               nullptr, &chain)) {
    return kUntrusted;
  }
  const char* words = nullptr;
  const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
  const DWORD count = simple != nullptr ? simple->cElement : 0;
  const DWORD whole = chain->TrustStatus.dwErrorStatus & ~kIgnoredTrust;
  if (count == 0 || (whole & kNoAnchor) != 0) {
    words = kUntrusted;
  } else {
    const CERT_CHAIN_ELEMENT* anchor = simple->rgpElement[count - 1];
    if ((anchor->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) == 0 ||
        (!roots.empty() && !among_roots(roots, anchor->pCertContext))) {
      words = kUntrusted;
    }
  }
  for (DWORD i = 0; words == nullptr && i < count; ++i) {
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
    const DWORD status = element->TrustStatus.dwErrorStatus & ~kIgnoredTrust;
    BYTE usage = 0;
    if ((status & ~(kSignatureAndTime | kNameConstraints | CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) != 0 ||
        (i > 0 && !acts_as_ca(element->pCertContext, i + 1 == count))) {
      words = kUntrusted;
    } else if ((status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0 ||
               (i == 0 && key_usage(element->pCertContext, usage) &&
                (usage & (CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE |
                          CERT_KEY_AGREEMENT_KEY_USAGE)) == 0)) {
      words = kNotServer;
    }
  }
  if (words == nullptr && !names_peer(peer, server)) words = kNameMismatch;
  for (DWORD i = count; words == nullptr && i > 0; --i) {
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i - 1];
    const LONG when = CertVerifyTimeValidity(nullptr, element->pCertContext->pCertInfo);
    if ((element->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0) {
      words = kUntrusted;
    } else if (when != 0) {
      words = when < 0 ? kNotYetValid : kExpired;
    }
  }
  // Name constraints, and any status no certificate's own checks above
  // explain (a usage or time of the chain alone): the chain is not trusted.
  if (words == nullptr && whole != 0) words = kUntrusted;
  CertFreeCertificateChain(chain);
  return words;
}

}  // namespace

const char* certificate_verdict(PCCERT_CONTEXT server, const TlsPeer& peer,
                                const std::vector<std::string>& roots) {
  if (server == nullptr) return kNoCertificate;
  HCERTSTORE store = nullptr;
  HCERTCHAINENGINE engine = nullptr;
  const char* words = nullptr;
  if (!roots.empty()) {
    store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (store == nullptr || add_roots(store, roots) != static_cast<int>(roots.size())) {
      words = kRootUnusable;
    } else {
      CERT_CHAIN_ENGINE_CONFIG config;
      std::memset(&config, 0, sizeof config);
      config.cbSize = sizeof config;
      config.hExclusiveRoot = store;
      config.dwFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
      if (!CertCreateCertificateChainEngine(&config, &engine)) {
        words = kRootUnusable;
        engine = nullptr;
      }
    }
  }
  if (words == nullptr) words = chain_verdict(peer, roots, server, engine);
  if (engine != nullptr) CertFreeCertificateChainEngine(engine);
  if (store != nullptr) CertCloseStore(store, 0);
  CertFreeCertificateContext(server);
  return words;
}

const char* certificate_status_words(LONG status) {
  switch (static_cast<DWORD>(status)) {
    case static_cast<DWORD>(SEC_E_UNTRUSTED_ROOT):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(SEC_E_CERT_UNKNOWN):
      return kUntrusted;
    case static_cast<DWORD>(SEC_E_CERT_EXPIRED):
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return kExpired;
    case static_cast<DWORD>(SEC_E_WRONG_PRINCIPAL):
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return kNameMismatch;
    default:
      return nullptr;
  }
}

bool platform_tls_certificate_readable(ErrorNumber& /*error_code*/, const std::string& der) {
  PCCERT_CONTEXT certificate = CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()));
  if (certificate == nullptr) return false;
  CertFreeCertificateContext(certificate);
  return true;
}
