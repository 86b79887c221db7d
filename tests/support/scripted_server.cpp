#include "scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

using Clock = std::chrono::steady_clock;

void set_descriptor_flags(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

enum class Wait { ready, timed_out, stopped };

// Polls fd for events (none: only the wake pipe) and the wake pipe, up to
// limit_ms (-1: no limit). The wake byte is left in the pipe so that every
// later wait sees it too.
Wait wait_for(int fd, short events, int wake_fd, int limit_ms, short& revents) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(limit_ms, 0));
  for (;;) {
    struct pollfd entries[2];
    entries[0].fd = wake_fd;
    entries[0].events = POLLIN;
    entries[0].revents = 0;
    entries[1].fd = events != 0 ? fd : -1;
    entries[1].events = events;
    entries[1].revents = 0;
    int wait_ms = -1;
    if (limit_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    int result = poll(entries, 2, wait_ms);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return Wait::stopped;
    if (entries[0].revents != 0) return Wait::stopped;
    if (result == 0) return Wait::timed_out;
    revents = entries[1].revents;
    return Wait::ready;
  }
}

std::string lower_case(std::string text) {
  for (char& byte : text) byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
  return text;
}

}  // namespace

bool http_request_complete(const std::string& text) {
  std::size_t header_end = text.find("\r\n\r\n");
  if (header_end == std::string::npos) return false;
  std::string header = lower_case(text.substr(0, header_end + 2));
  std::size_t body_length = 0;
  std::size_t label = header.find("\r\ncontent-length:");
  if (label != std::string::npos) {
    std::size_t at = label + 17;
    while (at < header.size() && (header[at] == ' ' || header[at] == '\t')) ++at;
    while (at < header.size() && std::isdigit(static_cast<unsigned char>(header[at]))) {
      body_length = body_length * 10 + static_cast<std::size_t>(header[at] - '0');
      ++at;
    }
  }
  return text.size() >= header_end + 4 + body_length;
}

ScriptedServer::ScriptedServer(ServerScript script) : script_(std::move(script)) {
  requests_.resize(static_cast<std::size_t>(std::max(script_.connections, 0)));
  bool v6 = script_.address.find(':') != std::string::npos;
  struct sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  socklen_t size = 0;
  if (v6) {
    auto* address = reinterpret_cast<struct sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(script_.port);
    if (inet_pton(AF_INET6, script_.address.c_str(), &address->sin6_addr) != 1) {
      failure_ = "bad address " + script_.address;
    }
    size = sizeof *address;
  } else {
    auto* address = reinterpret_cast<struct sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(script_.port);
    if (inet_pton(AF_INET, script_.address.c_str(), &address->sin_addr) != 1) {
      failure_ = "bad address " + script_.address;
    }
    size = sizeof *address;
  }
  int fd = failure_.empty() ? socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0) : -1;
  if (fd >= 0) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    set_descriptor_flags(fd);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&storage), size) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&storage), &size) != 0) {
      failure_ = "cannot listen on " + script_.address + ": " + std::strerror(errno);
      close(fd);
      fd = -1;
    }
  } else if (failure_.empty()) {
    failure_ = std::string("socket: ") + std::strerror(errno);
  }
  if (fd >= 0 && pipe(wake_fds_) != 0) {
    failure_ = std::string("pipe: ") + std::strerror(errno);
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    done_ = true;
    return;
  }
  set_descriptor_flags(wake_fds_[0]);
  set_descriptor_flags(wake_fds_[1]);
  port_ = v6 ? ntohs(reinterpret_cast<struct sockaddr_in6*>(&storage)->sin6_port)
             : ntohs(reinterpret_cast<struct sockaddr_in*>(&storage)->sin_port);
  listen_fd_ = fd;
  listening_ = true;
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() { stop(); }

void ScriptedServer::stop() {
  if (wake_fds_[1] >= 0) {
    ssize_t ignored = write(wake_fds_[1], "x", 1);
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  for (int* fd : {&wake_fds_[0], &wake_fds_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

bool ScriptedServer::wait_done(int limit_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms), [this] { return done_; });
}

bool ScriptedServer::wait_answered(int limit_ms, int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms),
                           [this, count] { return answered_ >= count; });
}

std::string ScriptedServer::request(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < requests_.size() ? requests_[index] : std::string();
}

int ScriptedServer::accepted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

void ScriptedServer::record(std::size_t index, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_[index].append(data, size);
}

void ScriptedServer::note_answered() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++answered_;
  changed_.notify_all();
}

void ScriptedServer::serve() {
  std::size_t index = 0;
  while (index < requests_.size()) {
    short revents = 0;
    if (wait_for(listen_fd_, POLLIN, wake_fds_[0], script_.accept_limit_ms, revents) !=
        Wait::ready) {
      break;
    }
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
        continue;
      }
      break;
    }
    set_descriptor_flags(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++accepted_;
    }
    serve_one(fd, index);
    ++index;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  changed_.notify_all();
}

ScriptedServer::ReadOutcome ScriptedServer::read_some(int fd, std::size_t index, int limit_ms) {
  short revents = 0;
  Wait wait = wait_for(fd, POLLIN, wake_fds_[0], limit_ms, revents);
  if (wait == Wait::stopped) return ReadOutcome::stopped;
  if (wait == Wait::timed_out) return ReadOutcome::timed_out;
  char buffer[65536];
  ssize_t count = recv(fd, buffer, sizeof buffer, 0);
  if (count > 0) {
    record(index, buffer, static_cast<std::size_t>(count));
    return ReadOutcome::data;
  }
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return ReadOutcome::data;
  }
  return ReadOutcome::closed;
}

void ScriptedServer::drain(int fd, std::size_t index) {
  char buffer[65536];
  for (;;) {
    ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count > 0) {
      record(index, buffer, static_cast<std::size_t>(count));
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

bool ScriptedServer::answer_due(std::size_t index) {
  switch (script_.when) {
    case AnswerWhen::on_accept: return true;
    case AnswerWhen::never: return false;
    default: break;
  }
  // Looked at in place: a copy of a large request at every read would cost
  // more than the reading.
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string& text = requests_[index];
  return script_.when == AnswerWhen::after_bytes ? text.size() >= script_.after_bytes
                                                 : http_request_complete(text);
}

bool ScriptedServer::pause(int fd, std::size_t index, int ms, bool& client_closed) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return true;
    short revents = 0;
    Wait wait = wait_for(fd, client_closed ? 0 : POLLIN, wake_fds_[0],
                         static_cast<int>(left.count()), revents);
    if (wait == Wait::stopped) return false;
    if (wait == Wait::ready && read_some(fd, index, 0) == ReadOutcome::closed) {
      client_closed = true;
    }
  }
}

bool ScriptedServer::send_all(int fd, std::size_t index, const std::string& bytes,
                              bool& client_closed) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    short events = static_cast<short>(POLLOUT | (client_closed ? 0 : POLLIN));
    short revents = 0;
    Wait wait = wait_for(fd, events, wake_fds_[0], script_.read_limit_ms, revents);
    if (wait != Wait::ready) return false;
    // Reading while sending keeps a client that sends a large request at
    // the same time from blocking both sides.
    if ((revents & POLLIN) != 0 && read_some(fd, index, 0) == ReadOutcome::closed) {
      client_closed = true;
    }
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
    std::size_t piece = std::min<std::size_t>(bytes.size() - sent, 1 << 20);
    ssize_t count = send(fd, bytes.data() + sent, piece, MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
    } else if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
  }
  return true;
}

void ScriptedServer::serve_one(int fd, std::size_t index) {
  if (script_.close_at_once) {
    close(fd);
    return;
  }
  bool client_closed = false;
  short unused = 0;
  if (script_.read_pause_ms > 0 &&
      wait_for(fd, 0, wake_fds_[0], script_.read_pause_ms, unused) == Wait::stopped) {
    close(fd);
    return;
  }
  int before_answer_limit = script_.when == AnswerWhen::never ? -1 : script_.read_limit_ms;
  while (!answer_due(index)) {
    if (read_some(fd, index, before_answer_limit) != ReadOutcome::data) {
      close(fd);
      return;
    }
  }
  const std::vector<ServerChunk>& answer =
      index > 0 && index <= script_.later_answers.size() ? script_.later_answers[index - 1] : script_.answer;
  for (const ServerChunk& chunk : answer) {
    if (!pause(fd, index, chunk.pause_ms, client_closed)) {
      close(fd);
      return;
    }
    for (int round = 0; round < chunk.repeat; ++round) {
      if (!send_all(fd, index, chunk.bytes, client_closed)) {
        close(fd);
        return;
      }
    }
  }
  switch (script_.end) {
    case EndAction::close:
      shutdown(fd, SHUT_WR);
      note_answered();
      while (!client_closed && read_some(fd, index, script_.read_limit_ms) == ReadOutcome::data) {
      }
      break;
    case EndAction::reset: {
      drain(fd, index);
      struct linger abort_close;
      abort_close.l_onoff = 1;
      abort_close.l_linger = 0;
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
      close(fd);
      note_answered();
      return;
    }
    case EndAction::close_unread:
      close(fd);
      note_answered();
      return;
    case EndAction::hold_open:
      note_answered();
      while (!client_closed && read_some(fd, index, -1) == ReadOutcome::data) {
      }
      break;
  }
  close(fd);
}

DeafListener::DeafListener() {
  fd = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(fd, 4) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
}

DeafListener::~DeafListener() { close(fd); }
