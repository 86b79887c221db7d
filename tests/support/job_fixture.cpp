#include "support/job_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

WholeRun::WholeRun() {
  // A stand-in viewer that records what it was asked to open.
  write_file(viewer.file("xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + viewer.file("log") + "'\n");
  chmod(viewer.file("xdg-open").c_str(), 0755);
}

std::vector<std::string> WholeRun::environment() const {
  return {"TEMP=" + temp_value, "PATH=" + viewer.path + ":/usr/bin:/bin"};
}

RunResult WholeRun::run_binary(RunOptions options) const {
  if (options.arguments.empty()) options.arguments = {work.path};
  if (options.directory.empty()) options.directory = work.path;
  const std::vector<std::string> own = environment();
  options.environment.insert(options.environment.begin(), own.begin(), own.end());
  return run_ravelok(options);
}

RunResult WholeRun::run(const std::vector<std::string>& settings, RunOptions options) const {
  return run_text(ini(settings), options);
}

RunResult WholeRun::run_text(const std::string& settings, RunOptions options) const {
  write_file(work.file("RAVELOK.INI"), settings);
  chmod(work.file("RAVELOK.INI").c_str(), 0644);
  return run_binary(options);
}

std::vector<std::string> WholeRun::job(int port, const std::string& page, const std::string& save) {
  return {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port), "Page=" + page, "Save=" + save};
}

std::vector<std::string> WholeRun::with_keys(const std::vector<std::string>& job,
                                             const std::vector<std::string>& row) {
  const auto section = std::find_if(row.begin(), row.end(), [](const std::string& line) { return line[0] == '['; });
  std::vector<std::string> settings = {"[URL]"};
  settings.insert(settings.end(), row.begin(), section);
  settings.insert(settings.end(), job.begin() + 1, job.end());
  settings.insert(settings.end(), section, row.end());
  return settings;
}

std::string WholeRun::viewer_log(bool expect_call) const {
  // The viewer runs on its own after ravelok has ended: wait for its line.
  for (int i = 0; expect_call && i < 300; ++i) {
    std::string log = read_file(viewer.file("log"));
    if (!log.empty() && log.back() == '\n') break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!expect_call) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return read_file(viewer.file("log"));
}

std::string WholeRun::opened(const std::string& file) const {
  if (!testing_windows_binary()) return file + "\n";
  return "file://" + (file[0] == '/' ? file : work.file(file)) + "\n";
}

std::vector<std::string> as_unprivileged_user() {
  if (testing_windows_binary()) return {};
  for (const char* directory : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
    std::string path = std::string(directory) + "/setpriv";
    if (access(path.c_str(), X_OK) == 0) return {path, "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  return {};
}

bool start_nginx(std::optional<Background>& process, const std::string& dir, int port,
                 const std::string& server) {
  const auto in_dir = [&dir](const std::string& name) { return dir + "/" + name; };
  write_file(in_dir("nginx.conf"),
             "daemon off; master_process off; worker_processes 1;\n"
             "pid " + in_dir("nginx.pid") + "; error_log " + in_dir("error.log") + ";\n"
             "events { worker_connections 16; }\n"
             "http { access_log off;\n"
             "  client_body_temp_path " + in_dir("t1") + "; proxy_temp_path " + in_dir("t2") + ";\n"
             "  fastcgi_temp_path " + in_dir("t3") + "; uwsgi_temp_path " + in_dir("t4") + ";\n"
             "  scgi_temp_path " + in_dir("t5") + ";\n"
             "  server { " + server + " } }\n");
  process.emplace(std::vector<std::string>{kNginx, "-c", in_dir("nginx.conf"), "-p", dir, "-e", in_dir("error.log")});
  return wait_for_listener(port, 10000);
}
