/* A loopback HTTP/1.0 sink for the upload and form benchmarks:
 *   sink PORT      (0: any free port; the port in use is printed on stdout)
 * For each connection in turn it reads the request header, then the whole
 * body (Content-Length bytes, or to the end when there is none), and only
 * then answers "200 OK" with a short text that tells how many body bytes it
 * received and how many the header announced, so the caller can check that
 * every byte arrived, and the answer's number, so that no two answers are
 * alike and a save file that still holds an earlier one shows that it was
 * not rewritten. It never answers before the body is read. Runs until it is
 * killed. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum { kHeaderLimit = 1 << 20, kBufferSize = 1 << 20 };

static char header[kHeaderLimit + 1];
static char buffer[kBufferSize];

static void send_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      return;
    }
    data += sent;
    size -= (size_t)sent;
  }
}

/* The value of the first "Content-Length:" header line, or -1. */
static long long content_length(const char *text) {
  for (const char *line = text; line != NULL && *line != '\0';) {
    if (strncasecmp(line, "Content-Length:", 15) == 0) return strtoll(line + 15, NULL, 10);
    line = strchr(line, '\n');
    if (line != NULL) ++line;
  }
  return -1;
}

static unsigned long answers;

static void serve(int fd) {
  size_t held = 0;
  char *end = NULL;
  while (end == NULL && held < kHeaderLimit) {
    ssize_t got = recv(fd, header + held, kHeaderLimit - held, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    held += (size_t)got;
    header[held] = '\0';
    end = memmem(header, held, "\r\n\r\n", 4);
  }
  if (end == NULL) return;
  size_t header_size = (size_t)(end - header) + 4;
  long long announced = content_length(header);
  long long received = (long long)(held - header_size);
  while (announced < 0 || received < announced) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received += got;
  }
  char answer[256];
  char text[128];
  int text_size = snprintf(text, sizeof text, "received %lld of %lld, answer %lu\n", received,
                           announced, ++answers);
  int size = snprintf(answer, sizeof answer,
                      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"
                      "Content-Length: %d\r\nConnection: close\r\n\r\n%s",
                      text_size, text);
  send_all(fd, answer, (size_t)size);
  /* Bytes the client sent beyond the body (a form POST's final CR LF) must
   * not turn the close into a reset that could destroy the answer: end the
   * sending side, then drain what is left, a second at most. */
  shutdown(fd, SHUT_WR);
  struct timeval limit = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  while (recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: sink PORT\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    perror("sink");
    return 1;
  }
  socklen_t size = sizeof address;
  getsockname(listener, (struct sockaddr *)&address, &size);
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    serve(fd);
    close(fd);
  }
}
