// The one table of the settings file's sections and keys: what each key
// holds, what an empty value means, and a line on what it is for. The
// reading of the job, the settings check's list of known names and --help
// all take it from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a key's value is.
enum class KeyKind : std::uint8_t {
  text,    // any bytes
  file,    // a file name, relative to the current directory
  number,  // a plain decimal number from 0 to high; anything else is refused before connecting
  status,  // an HTTP status from low to high, or 0; anything else is refused before connecting
  port,    // a TCP port: read as the number its text begins with; the check wants 0 to high
  flag,    // read as the whole number its text begins with: 0 is off, anything else on
  list,    // a section of entries under the keys 1, 2, 3, ..., up to the first one missing or empty
};

struct SettingKey {
  const char* section;  // as the settings file writes it, without brackets
  const char* name;     // the key; "N.Field" for a key beside list entry N; "" for a list
  KeyKind kind;
  std::int64_t low;     // number, status, port: the range of the value
  std::int64_t high;
  const char* empty;    // what an empty or missing value means; "" when nothing worth saying
  const char* meaning;  // one line: what the key is for
};

// Every key a run reads, section by section ([URL], [Vars], [Files],
// [Headers], [Expect], [Reject]); within a section in the order the settings check prefers
// them when two names are equally near a misspelt one.
inline constexpr SettingKey kSettingKeys[] = {
    {"URL", "Site", KeyKind::text, 0, 0, "the run does nothing",
     "the web server's host name or address, after https:// for HTTPS"},
    {"URL", "Port", KeyKind::port, 0, 65535, "80 (443 for HTTPS), as is 0", "the TCP port"},
    {"URL", "Page", KeyKind::text, 0, 0, "/", "the path to request"},
    {"URL", "Method", KeyKind::text, 0, 0, "", "POST for a POST; PUT or PATCH with a Body; anything else: GET"},
    {"URL", "Save", KeyKind::file, 0, 0, "not saved (with Show, a new file in TEMP)",
     "the file that receives the answer's body"},
    {"URL", "Show", KeyKind::flag, -32768, 32767, "",
     "not 0: open the saved file with the desktop's viewer"},
    {"URL", "CAFile", KeyKind::file, 0, 0, "the system's certificates",
     "PEM certificates to trust for HTTPS instead of the system's"},
    {"URL", "ClientCert", KeyKind::text, 0, 0, "no client certificate",
     "HTTPS: the client certificate offered to the Site: a PEM file (certificate, chain, maybe the key) "
     "or a PKCS#12 file; on Windows also cert:CurrentUser\\My\\THUMBPRINT"},
    {"URL", "ClientKey", KeyKind::file, 0, 0, "the key is in ClientCert", "the client certificate's PEM key file"},
    {"URL", "ClientKeyPassword", KeyKind::text, 0, 0, "",
     "the password of the encrypted key or of the PKCS#12 file; ${NAME} takes the environment variable NAME"},
    {"URL", "FailOn", KeyKind::status, 100, 599, "never",
     "an HTTP status (400 recommended): an answer at or past it fails the run with 22, its body "
     "still saved"},
    {"URL", "SaveHeader", KeyKind::file, 0, 0, "", "the file that receives the answer's header"},
    {"URL", "Timeout", KeyKind::number, 0, 86400, "3, as is 0", "seconds of each wait"},
    {"URL", "MaxTime", KeyKind::number, 0, 604800, "no bound",
     "seconds the whole run may take, retries included"},
    {"URL", "Retries", KeyKind::number, 0, 100, "",
     "further tries after a failure another try may mend"},
    {"URL", "RetryWait", KeyKind::number, 0, 300, "1, as is 0",
     "seconds before the first retry, doubled after each"},
    {"URL", "User", KeyKind::text, 0, 0, "", "the user name of HTTP Basic credentials"},
    {"URL", "Password", KeyKind::text, 0, 0, "",
     "their password; ${NAME} in it takes the environment variable NAME"},
    {"URL", "Body", KeyKind::file, 0, 0, "", "with Method=POST, PUT or PATCH: a file sent whole as the body"},
    {"URL", "Type", KeyKind::text, 0, 0, "application/octet-stream for a POST, none for a PUT or PATCH",
     "the Body's Content-Type"},
    {"URL", "Proxy", KeyKind::text, 0, 0,
     "http_proxy, https_proxy/HTTPS_PROXY and no_proxy/NO_PROXY from the environment",
     "the HTTP proxy: host:port or http://host:port, with user:password@ before the host; none: "
     "never a proxy"},
    {"URL", "Follow", KeyKind::number, 0, 50, "none",
     "redirects to follow (301-303 as a GET, 307 and 308 as sent); a POST answered 301-303 is never "
     "sent again"},
    {"URL", "Keep", KeyKind::number, 0, 1, "0: the save file rewritten in place",
     "1: the save and SaveHeader files replaced only by a run that ends 0, all at once"},
    {"URL", "Exact", KeyKind::number, 0, 1, "0: CR LF added after the body",
     "1: the body saved exactly as it arrived"},
    {"URL", "IfModified", KeyKind::number, 0, 1, "",
     "1 (GET): ask with If-Modified-Since from the save file's time; 304 keeps the file"},
    {"URL", "Report", KeyKind::file, 0, 0, "no report",
     "a file that gets one line of JSON on every run"},
    {"Vars", "", KeyKind::list, 0, 0, "", "form variables, name=value"},
    {"Files", "", KeyKind::list, 0, 0, "", "files to upload (with Method=POST)"},
    {"Files", "N.Field", KeyKind::text, 0, 0, "FILEN", "the name of file N's part"},
    {"Files", "N.Name", KeyKind::text, 0, 0, "its path as written", "the file name sent for file N"},
    {"Files", "N.Type", KeyKind::text, 0, 0, "application/octet-stream",
     "the Content-Type of file N's part"},
    {"Headers", "", KeyKind::list, 0, 0, "",
     "request header lines, Name: value; ${NAME} in a value takes the environment variable NAME, "
     "and the line then goes to the Site alone"},
    {"Expect", "", KeyKind::list, 0, 0, "",
     "texts the last answer's body must hold, matched exactly (letter case too), up to 1,024 bytes each; "
     "one missing ends the run with 80"},
    {"Reject", "", KeyKind::list, 0, 0, "",
     "texts the last answer's body must not hold, as [Expect] matches them; one found ends the run with 80"},
};

// The row of a [URL] key, found while compiling: a name the table does not
// hold does not compile.
consteval const SettingKey& url_key(std::string_view name) {
  for (const SettingKey& key : kSettingKeys) {
    if (std::string_view(key.section) == "URL" && key.name == name) return key;
  }
  // Reading past the table is not a constant expression.
  return kSettingKeys[std::size(kSettingKeys)];
}

// The sections of the table, each once, in its order.
std::vector<std::string> setting_sections_known();

// The named keys of section (for [Files], the part keys without their "N.":
// "Field", "Name", "Type"); none for the other lists.
std::vector<std::string> setting_keys_known(const std::string& section);

// The row of key in section, exactly as the table writes them; nullptr
// when the table has none.
const SettingKey* find_setting_key(const std::string& section, const std::string& name);

// True when section is a list ([Vars], [Files], [Headers], [Expect], [Reject]).
bool list_section(const std::string& section);

// Why value does not fit key ("not a number from 0 to 86400"), or empty
// when it fits or the key takes any value.
std::string setting_value_problem(const SettingKey& key, const std::string& value);
