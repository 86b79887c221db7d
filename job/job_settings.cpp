#include "job/job_settings.h"

#include "job/request_options.h"
#include "job/site.h"
#include "platform/platform.h"
#include "services/random.h"
#include "services/text.h"
#include "settings/conversions.h"
#include "settings/setting_keys.h"
#include "settings/settings.h"

namespace {

// The value of a [URL] key.
std::string read_url(const std::string& file, const SettingKey& key) {
  return read_setting(file, key.section, key.name);
}

// The value of a number key, 0 when it is refused; the first refusal goes
// to refused, naming the key and its rule.
std::int64_t read_number(const std::string& file, const SettingKey& key, std::string& refused) {
  const std::string value = read_url(file, key);
  const std::string problem = setting_value_problem(key, value);
  std::int64_t number = 0;
  if (problem.empty()) {
    plain_number(value, key.high, number);
  } else if (refused.empty()) {
    refused = std::string("[") + key.section + "] " + key.name + ": " + problem;
  }
  return number;
}

// A list of texts for the answer's body; the first one too long to look
// for goes to refused.
StringList read_check_list(const std::string& file, const char* section, std::string& refused) {
  StringList texts = read_setting_list(file, section);
  for (std::size_t i = 0; i < texts.size() && refused.empty(); ++i) {
    const std::string problem = check_text_problem(texts[i]);
    if (!problem.empty()) {
      refused = std::string("[") + section + "] " + decimal_text(static_cast<std::int64_t>(i + 1)) + ": " + problem;
    }
  }
  return texts;
}

}  // namespace

std::string check_text_problem(const std::string& text) {
  if (text.size() <= kLongestCheckText) return std::string();
  return "a text of " + grouped_digits(text.size()) + " bytes, longer than the 1,024 looked for";
}

std::string settings_file_of(const CommandLine& arguments) {
  return platform_settings_file_name(arguments.count > 0 ? arguments.arguments[0]
                                                         : platform_current_directory());
}

JobSettings read_job_settings(const CommandLine& arguments) {
  JobSettings job;
  job.settings_file = settings_file_of(arguments);

  const std::string& file = job.settings_file;
  // The scheme prefix, in any letter case, chooses TLS or plain HTTP; the
  // rest is the host.
  bool scheme = false;
  job.site = site_without_scheme(read_url(file, url_key("Site")), job.secure, scheme);
  job.ca_file = read_url(file, url_key("CAFile"));
  job.client.certificate = read_url(file, url_key("ClientCert"));
  job.client.key = read_url(file, url_key("ClientKey"));
  std::string missing;
  if (!expand_variables(read_url(file, url_key("ClientKeyPassword")), job.client.password, missing) &&
      job.refused.empty()) {
    job.refused = "[URL] ClientKeyPassword: the environment variable " + missing + " is not set";
  }
  job.port = to_int16(number_from_text(read_url(file, url_key("Port"))));
  job.page = read_url(file, url_key("Page"));
  job.method = upper_case(read_url(file, url_key("Method")));
  job.save = read_url(file, url_key("Save"));
  job.show = to_int16(number_from_text(read_url(file, url_key("Show"))));

  if (job.show != 0 && job.save.empty()) {
    // The first draw of the run: the generator has not been reseeded yet,
    // so the name is the same on every run.
    job.save = platform_temp_directory() + platform_separator() +
               decimal_text(random_integer(1, 99999999)) + ".HTM";
    job.default_save_name = true;
  }

  job.vars = read_setting_list(file, "Vars");
  job.files = read_setting_list(file, "Files");

  job.save_header = read_url(file, url_key("SaveHeader"));
  job.fail_on = read_number(file, url_key("FailOn"), job.refused);
  job.timeout = read_number(file, url_key("Timeout"), job.refused);
  job.max_time = read_number(file, url_key("MaxTime"), job.refused);
  job.retries = read_number(file, url_key("Retries"), job.refused);
  job.retry_wait = read_number(file, url_key("RetryWait"), job.refused);
  job.follow = read_number(file, url_key("Follow"), job.refused);
  job.keep = read_number(file, url_key("Keep"), job.refused) != 0;
  job.exact = read_number(file, url_key("Exact"), job.refused) != 0;
  job.if_modified = read_number(file, url_key("IfModified"), job.refused) != 0;
  job.report = read_url(file, url_key("Report"));
  job.expect = read_check_list(file, "Expect", job.refused);
  job.reject = read_check_list(file, "Reject", job.refused);
  job.options = read_request_options(file, job.files, job.method, job.refused);
  job.proxy = read_proxy_setting(file, job.options, job.refused);
  return job;
}

void check_settings_file(Failure& failure, const std::string& name) {
  ErrorNumber error_code = 0;
  FileHandle handle = platform_open_read(error_code, name);
  if (handle != kNoFile) platform_close_file(handle);
  const std::string reason = failure_reason(error_code);
  // A directory that is not there holds no settings file either; Windows
  // reports it as a missing path.
  if (error_code == kErrPathNotFound) error_code = kErrNotFound;
  note_failure(failure, error_code, Step::settings, name, reason);
}
