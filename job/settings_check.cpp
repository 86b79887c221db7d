#include "job/settings_check.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "exchange/ca_file.h"
#include "exchange/location.h"
#include "job/proxy.h"
#include "job/request_options.h"
#include "job/save.h"
#include "job/site.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/tls_names.h"
#include "services/shown.h"
#include "settings/conversions.h"
#include "settings/setting_keys.h"
#include "settings/settings.h"

namespace {

// The findings so far and the job they are about.
struct Check {
  const JobSettings& job;
  StringList findings;
};

// How many single-byte insertions, deletions, substitutions and swaps of
// neighbours turn a into b, letter case aside.
std::size_t name_distance(const std::string& a_text, const std::string& b_text) {
  const std::string a = ascii_upper_text(a_text);
  const std::string b = ascii_upper_text(b_text);
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  for (std::size_t i = 0; i <= a.size(); ++i) d[i * width] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      std::size_t best = std::min({d[(i - 1) * width + j] + 1, d[i * width + j - 1] + 1,
                                   d[(i - 1) * width + j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        best = std::min(best, d[(i - 2) * width + j - 2] + 1);
      }
      d[i * width + j] = best;
    }
  }
  return d[a.size() * width + b.size()];
}

// The name of names nearest to name when it is close: at most a third of
// the known name's length apart (1 for the shortest), the first of equals;
// else empty. A long name is never near a short one, so no long name is
// measured.
std::string nearest_name(const std::string& name, const std::vector<std::string>& names) {
  std::string found;
  std::size_t found_distance = 0;
  for (const std::string& known : names) {
    const std::size_t allowed = std::max<std::size_t>(1, known.size() / 3);
    if (name.size() > known.size() + allowed) continue;
    const std::size_t distance = name_distance(name, known);
    if (distance <= allowed && (found.empty() || distance < found_distance)) {
      found = known;
      found_distance = distance;
    }
  }
  return found;
}

std::string with_meaning(const std::string& reason, ErrorNumber number) {
  std::string text = reason.empty() ? std::string() : reason + " ";
  return text + "(" + decimal_text(number) + " " + error_meaning(number) + ")";
}

// What a run makes of Site beyond a host: the scheme it does not know, a
// user name or password, a port, a path; and a scheme with no host after
// it, which leaves the run nothing to do.
void check_site(Check& check, const std::string& site) {
  const std::string prefix = "[URL] Site: ";
  bool secure = false;
  bool known = false;
  std::string rest = site_without_scheme(site, secure, known);
  if (known && rest.empty()) {
    check.findings.push_back(prefix + "no host after the scheme, so the run does nothing");
  } else if (!known && site.find("://") != std::string::npos) {
    check.findings.push_back(prefix + "a scheme other than http:// or https://");
    rest = site.substr(site.find("://") + 3);
  }
  const std::size_t slash = rest.find('/');
  std::string host = rest.substr(0, slash);
  const std::size_t at = host.rfind('@');
  if (at != std::string::npos) {
    check.findings.push_back(prefix + "holds a user name or password, which have no place in it");
    host.erase(0, at + 1);
  }
  if (host_holds_port(host)) {
    check.findings.push_back(prefix + "holds a port; the port belongs in Port");
  }
  if (slash != std::string::npos) {
    check.findings.push_back(prefix + "holds a path; the path belongs in Page");
  }
}

void check_ca_file(Check& check, const std::string& name) {
  if (name.empty()) return;
  if (!check.job.secure) {
    check.findings.push_back("[URL] CAFile: Site is not https://, so it is never read");
    return;
  }
  Failure failure;
  read_ca_file(failure, name);
  if (failure.number != 0) {
    check.findings.push_back("[URL] CAFile: cannot read \"" + shown(name) +
                             "\": " + with_meaning(failure.reason, failure.number));
  }
}

// The client certificate as a run loads it before connecting, and its
// dates; the password is never among the words.
void check_client_certificate(Check& check) {
  const ClientCertificate& client = check.job.client;
  if (client.certificate.empty()) {
    if (!client.key.empty()) check.findings.push_back("[URL] ClientKey: no ClientCert, so it is never read");
    return;
  }
  if (!check.job.secure) {
    check.findings.push_back("[URL] ClientCert: Site is not https://, so it is never offered");
    return;
  }
  if (check.job.refused.rfind("[URL] ClientKeyPassword", 0) == 0) {
    check.findings.push_back(check.job.refused);
    return;
  }
  Failure failure;
  TlsClientFindings findings;
  platform_tls_free_client_credential(load_client_certificate(failure, client, findings));
  const std::string key = failure.index == 1 ? "ClientKey" : "ClientCert";
  if (failure.number != 0) {
    check.findings.push_back("[URL] " + key + ": cannot use \"" + shown(failure.object) +
                             "\": " + with_meaning(failure.reason, failure.number));
  } else if (findings.expired) {
    check.findings.push_back("[URL] ClientCert: the certificate has expired; servers will refuse it");
  } else if (findings.not_yet_valid) {
    check.findings.push_back("[URL] ClientCert: the certificate is not yet valid; servers will refuse it");
  }
}

// The findings of a [URL] key the run reads, from its value.
void check_key(Check& check, const SettingKey& key) {
  const std::string value = read_setting(check.job.settings_file, key.section, key.name);
  const std::string prefix = std::string("[") + key.section + "] " + key.name + ": ";
  const std::string name = key.name;
  if (name == "Site") {
    check_site(check, value);
  } else if (name == "Method") {
    // A PUT or PATCH without a Body is a GET too.
    const std::string method = ascii_upper_text(value);
    if (!method.empty() && method != "GET" && method_sent(method, check.job.options.body) == "GET") {
      check.findings.push_back(prefix + "neither GET nor POST, so the run makes a GET");
    }
  } else if (name == "CAFile") {
    check_ca_file(check, value);
  }
  const std::string problem = setting_value_problem(key, value);
  if (!problem.empty()) check.findings.push_back(prefix + problem);
}

// The number a list key stands for: digits without a leading zero, or 0
// for any other key (no list reads it); past the list's end for a long one.
std::size_t list_number(const std::string& key) {
  if (key.empty() || key[0] == '0' || key.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  if (key.size() > 5) return kMostListEntries + 1;
  std::size_t number = 0;
  for (char byte : key) number = number * 10 + static_cast<std::size_t>(byte - '0');
  return number;
}

// An upload file the run could not read, as its run would find it.
void check_upload_file(Check& check, std::size_t number, const std::string& path) {
  ErrorNumber error_code = 0;
  std::string reason;
  FileHandle handle = platform_open_read(error_code, path);
  if (error_code != 0) reason = failure_reason(error_code);
  if (handle != kNoFile) {
    const FileStamp stamp = platform_file_stamp(error_code, handle);
    if (error_code != 0) {
      reason = failure_reason(error_code);
    } else if (stamp.terminal) {
      error_code = kErrNoDevice;
      reason = "a terminal, which a job never reads";
    }
    platform_close_file(handle);
  }
  if (error_code != 0) {
    check.findings.push_back("[Files] " + decimal_text(static_cast<std::int64_t>(number)) +
                             ": cannot read \"" + shown(path) +
                             "\": " + with_meaning(reason, error_code));
  }
}

// The keys of a list (section as the file writes it): those no list reads,
// those after its end, for [Files] what the run cannot upload, and for
// [Expect] and [Reject] a text too long to look for.
void check_list(Check& check, const std::string& name, const std::string& written) {
  const StringList entries = read_setting_list(check.job.settings_file, name);
  const std::size_t gap = entries.size() + 1;  // the first key not read
  const bool files = name == "Files";
  const bool sent = check.job.method == "POST";
  const std::string prefix = "[" + name + "] ";
  if (files && !entries.empty() && !sent) {
    check.findings.push_back("[Files]: Method is not POST, so no file is sent");
  }
  std::set<std::string> seen;  // the keys so far, upper-cased
  for (const std::string& key : setting_keys(check.job.settings_file, written)) {
    const std::size_t number = list_number(key);
    const std::string line = prefix + shown(key) + ": ";
    if (!seen.insert(ascii_upper_text(key)).second) {
      // Only the first key of a name is read; an unknown one has been told.
      if (number != 0) check.findings.push_back(line + "a second " + key + " key, never read");
      continue;
    }
    const std::size_t dot = key.find('.');
    if (files && dot != std::string::npos && list_number(key.substr(0, dot)) != 0) {
      // A part key beside a file: its name must be one the run reads, and
      // its file one the list holds.
      const std::string suffix = key.substr(dot + 1);
      const std::vector<std::string> part_keys = setting_keys_known("Files");
      bool known = false;
      for (const std::string& part : part_keys) known = known || equal_ignoring_ascii_case(suffix, part);
      if (!known) {
        std::string finding = line + "not a key ravelok reads";
        const std::string near = nearest_name(suffix, part_keys);
        if (!near.empty()) finding += "; did you mean " + key.substr(0, dot + 1) + near + "?";
        check.findings.push_back(finding);
      } else if (list_number(key.substr(0, dot)) >= gap) {
        check.findings.push_back(line + "beside no file of the list, never read");
      }
      continue;
    }
    if (number == 0) {
      const std::size_t digits = key.find_first_not_of('0');
      if (!key.empty() && digits == std::string::npos) {
        check.findings.push_back(line + "not a key ravelok reads; the list starts at 1");
      } else if (!key.empty() && key[0] == '0' && list_number(key.substr(digits)) != 0) {
        check.findings.push_back(line + "not a key ravelok reads; did you mean " +
                                 key.substr(digits) + "?");
      } else {
        check.findings.push_back(line + "not a key ravelok reads; its keys are 1, 2, 3, ...");
      }
    } else if (number > kMostListEntries) {
      check.findings.push_back(line + "past the 32,767 entries a list holds, never read");
    } else if (number > gap) {
      check.findings.push_back(line + "after a gap (" +
                               decimal_text(static_cast<std::int64_t>(gap)) +
                               " is missing or empty), never read");
    } else if (files && sent && number < gap) {
      check_upload_file(check, number, entries[number - 1]);
    } else if ((name == "Expect" || name == "Reject") && number < gap) {
      const std::string problem = check_text_problem(entries[number - 1]);
      if (!problem.empty()) check.findings.push_back(line + problem);
    }
  }
}

// A Proxy-Authorization line goes to a proxy or nowhere: said when no
// proxy carries the job's request to the Site.
void check_proxy_credentials(Check& check, const ProxySetting& proxy) {
  const StringList headers = read_setting_list(check.job.settings_file, "Headers");
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (!equal_ignoring_ascii_case(headers[i].substr(0, headers[i].find(':')), "Proxy-Authorization")) continue;
    Failure unused;
    const std::uint16_t port = check.job.port != 0 ? static_cast<std::uint16_t>(check.job.port)
                                                   : default_port(check.job.secure);
    if (choose_proxy(unused, proxy, check.job.secure, site_host(check.job.site), port).host.empty()) {
      check.findings.push_back("[Headers] " + decimal_text(static_cast<std::int64_t>(i + 1)) +
                               ": no proxy carries the request, so this Proxy-Authorization line is not sent");
    }
    return;
  }
}

}  // namespace

StringList settings_findings(const JobSettings& job) {
  Check check{job, {}};
  const std::vector<std::string> section_names = setting_sections_known();

  std::set<std::string> seen;  // the sections so far, upper-cased
  for (const std::string& section : setting_sections(job.settings_file)) {
    std::string known;  // the section's name as the table has it
    for (const std::string& candidate : section_names) {
      if (equal_ignoring_ascii_case(section, candidate)) known = candidate;
    }
    // "[" + a temporary is built by appending: GCC 12's Release build
    // warns of the copy its inlining makes.
    std::string bracketed = "[";
    bracketed += shown(section);
    bracketed += "]: ";
    if (!seen.insert(ascii_upper_text(section)).second) {
      // The reader takes the first section of a name, and this one's keys
      // nowhere; an unknown name has been told already.
      if (!known.empty()) {
        check.findings.push_back(bracketed + "a second [" + known + "] section, never read");
      }
      continue;
    }
    if (known.empty()) {
      std::string line = bracketed + "not a section ravelok reads";
      const std::string near = nearest_name(section, section_names);
      if (!near.empty()) line += "; did you mean [" + near + "]?";
      check.findings.push_back(line);
      continue;
    }
    if (list_section(known)) {
      check_list(check, known, section);
      continue;
    }
    const std::string prefix = "[" + known + "] ";
    const std::vector<std::string> key_names = setting_keys_known(known);
    std::set<std::string> seen_keys;
    for (const std::string& key : setting_keys(job.settings_file, section)) {
      std::string match;
      for (const std::string& name : key_names) {
        if (equal_ignoring_ascii_case(key, name)) match = name;
      }
      if (!seen_keys.insert(ascii_upper_text(key)).second) {
        if (!match.empty()) {
          check.findings.push_back(prefix + shown(key) + ": a second " + match +
                                   " key, never read");
        }
        continue;
      }
      if (!match.empty()) {
        check_key(check, *find_setting_key(known, match));
        continue;
      }
      std::string line = prefix + shown(key) + ": not a key ravelok reads";
      const std::string near = nearest_name(key, key_names);
      if (!near.empty()) line += "; did you mean " + near + "?";
      check.findings.push_back(line);
    }
  }
  // The first header line, credential, Body or Type a run would refuse.
  std::string refused;
  const RequestOptions options = read_request_options(job.settings_file, job.files, job.method, refused);
  if (!refused.empty()) check.findings.push_back(refused);
  // A Proxy a run would refuse, named by its rule alone: it may hold a password.
  std::string proxy_refused;
  const ProxySetting proxy = read_proxy_setting(job.settings_file, options, proxy_refused);
  if (!proxy_refused.empty()) check.findings.push_back(proxy_refused);
  check_proxy_credentials(check, proxy);
  check_client_certificate(check);
  const std::string sent = method_sent(job.method, options.body);
  if (!options.body.empty() && sent == "GET") {
    check.findings.push_back("[URL] Body: Method is not POST, PUT or PATCH, so it is never sent");
  }
  if (job.if_modified && sent != "GET") {
    check.findings.push_back("[URL] IfModified: Method is " + sent + ", so the whole answer is always asked for");
  } else if (job.if_modified && job.save.empty()) {
    check.findings.push_back("[URL] IfModified: no Save file, so the whole answer is always asked for");
  }
  // Credentials in the clear: Basic credentials and an Authorization line
  // are readable by anyone between here and a host that is not this one.
  bool credentials = false;
  for (const std::string& line : options.header_lines) {
    credentials = credentials || equal_ignoring_ascii_case(line.substr(0, 14), "Authorization:");
  }
  std::string address;
  const std::string host = site_host(job.site);
  const bool loopback = equal_ignoring_ascii_case(host, "localhost") ||
                        (parse_plain_address(host, address) &&
                         ((address.size() == 4 && address[0] == 127) ||
                          address == std::string(15, '\0') + '\1'));
  if (credentials && !job.secure && !job.site.empty() && !loopback) {
    check.findings.push_back("[URL] Site: credentials would travel over plain HTTP to " + shown_url(host) +
                             "; use https://");
  }
  // The save files, as the run checks them before connecting, and the
  // report's file, which every run appends to.
  const struct { const char* key; const std::string& name; bool plain; } saves[] = {
      {"Save", job.save, job.default_save_name}, {"SaveHeader", job.save_header, false},
      {"Report", job.report, false}};
  for (const auto& save : saves) {
    Failure failure;
    check_save_file(failure, Step::save, save.name, save.plain);
    if (failure.number != 0) {
      check.findings.push_back(std::string("[URL] ") + save.key + ": cannot write \"" + shown(save.name) +
                               "\": " + with_meaning(failure.reason, failure.number));
    }
  }
  return check.findings;
}

void check_settings(Failure& failure, const JobSettings& job) {
  const StringList findings = settings_findings(job);
  if (findings.empty()) return;
  std::string text;
  for (const std::string& line : findings) text += line + "\n";
  platform_write_standard_output(text);
  note_failure(failure, kErrSettings, Step::check, job.settings_file);
}
