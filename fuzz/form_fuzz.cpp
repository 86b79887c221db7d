// encode_form_value over arbitrary bytes: only letters, digits, "-._~", "+"
// and "%XX" with upper-case hex digits come out, and decoding the output
// gives the input back. split_form_entry puts an entry back together.
#include "exchange/form.h"
#include "fuzz_check.h"

namespace {

bool unreserved(char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '_' ||
         byte == '~';
}

int upper_hex(char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// Decodes application/x-www-form-urlencoded text; false on a byte that the
// encoding never writes.
bool decode(const std::string& text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char byte = text[i];
    if (byte == '+') {
      out.push_back(' ');
    } else if (byte == '%') {
      if (i + 2 >= text.size()) return false;
      int high = upper_hex(text[i + 1]);
      int low = upper_hex(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (unreserved(byte)) {
      out.push_back(byte);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  std::string encoded = encode_form_value(value);
  FUZZ_CHECK(encoded.size() >= value.size() && encoded.size() <= 3 * value.size(),
             "one to three bytes out for each byte in");
  std::string decoded;
  FUZZ_CHECK(decode(encoded, decoded), "only allowed bytes and complete escapes");
  FUZZ_CHECK(decoded == value, "decoding gives the value back");

  FormVariable variable = split_form_entry(value);
  FUZZ_CHECK(variable.has_equals == (value.find('=') != std::string::npos), "has_equals");
  FUZZ_CHECK(variable.name.find('=') == std::string::npos, "the name holds no =");
  FUZZ_CHECK((variable.has_equals ? variable.name + "=" + variable.value : variable.name) == value,
             "name and value put back together give the entry");
  return 0;
}
