// The certificates a CAFile names: PEM blocks, each of which must be a
// certificate the TLS library reads, so that a file trusts the same roots
// on every system or fails before anything is connected.
#pragma once

#include <string>
#include <vector>

#include "services/errors.h"

// What a CAFile's text holds.
struct PemCertificates {
  std::vector<std::string> certificates;  // DER, in the file's order
  std::size_t bad_block = 0;              // the first block that is no certificate, from 1; 0: none
  std::string why;                        // what is wrong with that block
};

// Splits text into its PEM blocks ("-----BEGIN LABEL-----" at the start of
// a line up to "-----END LABEL-----"), counting them from 1, and decodes
// each. Text outside the blocks is ignored. The first block that is not a
// CERTIFICATE, has no matching END line, or whose body is not strict base64
// (letters, digits, "+", "/", padding "=" at the end only, blanks between
// lines) stops the reading with bad_block and why set.
PemCertificates split_pem_certificates(const std::string& text);

// The whole of the file name; its open or read error in error_code.
std::string read_whole_file(ErrorNumber& error_code, const std::string& name);

// Reads the CAFile name whole and returns its certificates, each checked by
// the TLS library. Empty with the failure recorded in failure (step
// ca_file) when the file cannot be read (its open or read error), holds no
// certificate (54), or holds a block that is not a readable certificate
// (54, the block's position in the reason); 57 when the TLS library cannot
// be had. Nothing is connected for it.
std::vector<std::string> read_ca_file(Failure& failure, const std::string& name);
