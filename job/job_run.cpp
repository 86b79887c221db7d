#include "job/job_run.h"

#include "exchange/answer_header.h"
#include "exchange/transaction.h"
#include "job/failure_line.h"
#include "job/redirects.h"
#include "job/request_options.h"
#include "job/save.h"
#include "job/settings_check.h"
#include "job/usage.h"
#include "platform/platform.h"
#include "services/console.h"
#include "services/files.h"
#include "services/numbers.h"
#include "services/process.h"
#include "services/random.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace {

// Records why the settings file cannot be read (53 when missing), if it
// cannot.
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

// The settings file named by the first argument's directory, or by the
// current directory without one.
std::string settings_file_of(const CommandLine& arguments) {
  return platform_settings_file_name(arguments.count > 0 ? arguments.arguments[0]
                                                         : platform_current_directory());
}

// The longest pause a Retry-After field may ask for, in seconds.
constexpr std::int64_t kLongestRetryAfter = 3600;

// Whether trying again may help after a failed try: never after a
// failure of the settings, of a file or of a certificate check; after
// nothing was sent, or the request only in part, always; after an error
// answer that says the request was not processed (408, 429, 503), always;
// after another one (500, 502, 504), or when the answer failed once the
// request was sent whole, only for a GET: the server may have taken a POST.
bool worth_retrying(const Failure& failure, bool post, int status) {
  switch (failure.step) {
    case Step::resolve:
    case Step::connect:
    case Step::send:
      return true;
    case Step::secure:
      // A handshake that failed or stalled, not a certificate refused or a
      // Site refused before connecting.
      return failure.number == kErrTimedOut || failure.reason.rfind("handshake failure", 0) == 0;
    case Step::tunnel:
      // Nothing of the request went out. A proxy that did not answer, or
      // says the server or itself is unavailable, may do better later; one
      // that forbids the tunnel or wants other credentials will not.
      return failure.status == 0 || failure.status == 502 || failure.status == 503 ||
             failure.status == 504;
    case Step::receive:
    case Step::answer:
      return !post;
    case Step::status:
      if (status == 408 || status == 429 || status == 503) return true;
      return !post && (status == 500 || status == 502 || status == 504);
    default:
      return false;
  }
}

// The pause before the retry that follows try attempt: RetryWait seconds
// (1 when 0), doubled for each further try, at most 300.
std::int64_t pause_before(std::int64_t retry_wait, std::int64_t attempt) {
  std::int64_t pause = retry_wait != 0 ? retry_wait : 1;
  for (std::int64_t i = 1; i < attempt && pause < 300; ++i) pause *= 2;
  return pause < 300 ? pause : 300;
}

// Waits seconds, counting them down on the progress line.
void wait_before_retry(std::int64_t seconds) {
  for (std::int64_t left = seconds; left > 0; --left) {
    progress_phase("Esperant... " + decimal_text(left));
    platform_sleep(1000);
  }
  progress_clear();
}

// Writes the answer's header into name as Save writes the body (nothing
// added after it); an empty header leaves the file empty, so that no
// earlier run's header stays in it.
void save_header(Failure& failure, const std::string& name, const std::string& header) {
  ErrorNumber error_code = 0;
  const std::int16_t number = next_free_number();
  file_open_output(error_code, number, name, false);
  if (error_code == 0) {
    file_write(error_code, number, header);
    ErrorNumber close_error = 0;
    file_close(close_error, number);
    if (error_code == 0) error_code = close_error;
  }
  note_failure(failure, error_code, Step::save_header, name, failure_reason(error_code));
}

}  // namespace

std::string number_key_problem(const NumberKey& key, const std::string& value) {
  std::int64_t number = 0;
  const bool status = std::string(key.name) == "FailOn";
  if (plain_number(value, key.high, number) && !(status && number > 0 && number < 100)) return std::string();
  if (status) return "not an HTTP status from 100 to 599, nor 0";
  return "not a number from 0 to " + decimal_text(key.high);
}

JobSettings read_job_settings(const CommandLine& arguments) {
  JobSettings job;
  job.settings_file = settings_file_of(arguments);

  const std::string& file = job.settings_file;
  job.site = read_setting(file, "URL", "Site");
  // The scheme prefix, in any letter case, chooses TLS or plain HTTP; the
  // rest is the host as before.
  const std::string scheme = upper_case(job.site.substr(0, 8));
  if (scheme == "HTTPS://") {
    job.secure = true;
    job.site.erase(0, 8);
  } else if (scheme.substr(0, 7) == "HTTP://") {
    job.site.erase(0, 7);
  }
  job.ca_file = read_setting(file, "URL", "CAFile");
  job.port = to_int16(number_from_text(read_setting(file, "URL", "Port")));
  job.page = read_setting(file, "URL", "Page");
  job.method = upper_case(read_setting(file, "URL", "Method"));
  job.save = read_setting(file, "URL", "Save");
  job.show = to_int16(number_from_text(read_setting(file, "URL", "Show")));

  if (job.show != 0 && job.save.empty()) {
    // The first draw of the run: the generator has not been reseeded yet,
    // so the name is the same on every run.
    job.save = platform_temp_directory() + platform_separator() +
               decimal_text(random_integer(1, 99999999)) + ".HTM";
    job.default_save_name = true;
  }

  job.vars = read_setting_list(file, "Vars");
  job.files = read_setting_list(file, "Files");

  job.save_header = read_setting(file, "URL", "SaveHeader");
  std::int64_t* const numbers[] = {&job.fail_on, &job.timeout, &job.max_time, &job.retries,
                                   &job.retry_wait, &job.follow};
  for (std::size_t i = 0; i < std::size(kNumberKeys); ++i) {
    const std::string value = read_setting(file, "URL", kNumberKeys[i].name);
    const std::string problem = number_key_problem(kNumberKeys[i], value);
    if (problem.empty()) {
      plain_number(value, kNumberKeys[i].high, *numbers[i]);
    } else if (job.refused.empty()) {
      job.refused = std::string("[URL] ") + kNumberKeys[i].name + ": " + problem;
    }
  }
  job.options = read_request_options(file, job.files, job.method == "POST", job.refused);
  job.proxy = read_proxy_setting(file, job.options, job.refused);
  return job;
}

void run_job(Failure& failure, std::string& site, std::string& tail) {
  CommandLine arguments = split_command_line(process_command_tail());
  set_process_arguments(arguments);
  // A question about the program is answered without looking at any job.
  const UsageRequest request = usage_request(arguments);
  switch (request) {
    case UsageRequest::help:
      platform_write_standard_output(help_text());
      return;
    case UsageRequest::version:
      platform_write_standard_output(version_text());
      return;
    case UsageRequest::check:
      arguments = arguments_after_first(arguments);
      break;
    case UsageRequest::none:
      break;
  }
  const std::string settings_file = settings_file_of(arguments);
  if (!platform_name_fits(settings_file)) {
    // A shortened name would be another file: nothing is read or done.
    note_failure(failure, kErrNotFound, Step::settings, settings_file,
                 "the name is too long for the system");
    return;
  }
  if (request == UsageRequest::check) {
    // The settings are read as a run reads them; nothing is sent or written.
    check_settings_file(failure, settings_file);
    if (failure.number == 0) check_settings(failure, read_job_settings(arguments));
    return;
  }
  JobSettings job = read_job_settings(process_arguments());
  site = job.site;

  if (job.site.empty()) {
    // Nothing is sent, saved or shown. A settings file that is missing or
    // cannot be read is a failure a scheduler must see.
    check_settings_file(failure, job.settings_file);
    return;
  }

  if (!job.refused.empty()) {
    // A wait, a bound or a rule the author did not write is never guessed.
    note_failure(failure, kErrSettings, Step::setting, job.settings_file, job.refused);
    return;
  }

  // The way to the Site, checked before anything is connected or checked;
  // each request of the chain chooses its own again.
  const std::uint16_t port = job.port != 0 ? static_cast<std::uint16_t>(job.port) : job.secure ? 443 : 80;
  ProxyRoute route = choose_proxy(failure, job.proxy, job.secure, site_host(job.site), port);
  RequestOptions options = job.options;
  take_proxy_header(failure, job.settings_file, route, options);
  if (failure.number != 0) return;

  // A request whose answer cannot be kept is not sent: the server would act
  // on it (take the form), the answer would be lost, and a rerun would send
  // it twice. Nothing is saved, so nothing is shown either.
  check_save_file(failure, Step::save, job.save, job.default_save_name);
  check_save_file(failure, Step::save_header, job.save_header, false);
  if (failure.number != 0) {
    failure.nothing_sent = true;
    return;
  }

  ExchangeLimits limits;
  if (job.timeout != 0) limits.wait_ms = static_cast<std::uint32_t>(job.timeout * 1000);
  const std::uint64_t started = platform_monotonic_milliseconds();
  if (job.max_time != 0) limits.deadline_ms = started + static_cast<std::uint64_t>(job.max_time) * 1000;
  const std::int64_t tries = job.retries + 1;
  for (std::int64_t attempt = 1;; ++attempt) {
    // The request, and with Follow the requests its redirects lead to.
    ChainResult chain = run_chain(job, limits);
    const TransactionResult& answer = chain.answer;
    BodyStore& store = chain.store;
    Failure outcome = answer.failure;
    const int status = chain.status;
    if (outcome.number == 0 && job.fail_on != 0 && (status < 0 || status >= job.fail_on)) {
      const std::string shown = status_shown(answer.header);
      note_failure(outcome, kErrErrorAnswer, Step::status,
                   shown.empty() ? "without a status line" : shown);
    }
    const std::uint64_t now = platform_monotonic_milliseconds();
    if (outcome.number == kErrTimedOut && limits.deadline_ms != 0 && now >= limits.deadline_ms) {
      // The run's own bound ended the wait, whichever wait it was.
      outcome.reason = failure_words(outcome);
      outcome.step = Step::run_time;
      outcome.object = decimal_text(job.max_time);
    }
    if (attempt < tries && worth_retrying(outcome, job.method == "POST", status)) {
      std::int64_t pause = pause_before(job.retry_wait, attempt);
      const std::int64_t asked = retry_after(answer.header, platform_unix_seconds());
      if (asked > pause) pause = asked;
      // A retry that could not start before MaxTime is not made, nor one
      // the server asks to wait more than an hour for: the run would hang
      // on a server's word.
      if (pause <= kLongestRetryAfter && (limits.deadline_ms == 0 ||
          now + static_cast<std::uint64_t>(pause) * 1000 < limits.deadline_ms)) {
        release_store(store);
        progress_clear();
        platform_write_standard_error(failure_line(
            outcome, site, "; try " + decimal_text(attempt) + " of " + decimal_text(tries) +
                               ", next in " + decimal_text(pause) + " s"));
        wait_before_retry(pause);
        continue;
      }
    }
    if (attempt > 1) tail = "; try " + decimal_text(attempt) + " of " + decimal_text(tries);
    // When both fail, the exchange's failure is the one told.
    failure = outcome;
    if (!job.save.empty()) {
      save_response(failure, store);
      if (job.show != 0) shell_open(job.save, 1);
    }
    release_store(store);
    if (!job.save_header.empty()) save_header(failure, job.save_header, answer.header);
    return;
  }
}

int job_run() {
  Failure failure;
  std::string site;
  std::string tail;
  run_job(failure, site, tail);
  // The findings of a settings check are its output already.
  if (failure.number != 0 && failure.step != Step::check) {
    // A scheduler's mail or journal, or the person at the terminal, learns
    // why; the progress line is blanked first so that the two never mix.
    progress_clear();
    platform_write_standard_error(failure_line(failure, site, tail));
  }
  return failure.number;
}
