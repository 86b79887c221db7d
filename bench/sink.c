/* A loopback HTTP/1.0 sink for the upload and form benchmarks:
 *   sink PORT      (0: any free port; the port in use is printed on stdout)
 * For each connection in turn it reads the request header, then the whole
 * body (Content-Length bytes, or to the end when there is none), and only
 * then answers "200 OK" with a short text that tells how many body bytes it
 * received and how many the header announced, so the caller can check that
 * every byte arrived, and the answer's number, so that no two answers are
 * alike and a save file that still holds an earlier one shows that it was
 * not rewritten. It never answers before the body is read. For a request
 * line whose target ends in "-checked" (or "-checked?") the answer also gives the body's CRC
 * as cksum(1) computes it, so the caller can check every byte; every other
 * body is discarded in the kernel without being copied out (recv with
 * MSG_TRUNC on a TCP socket, Linux), so that the client's own cost decides
 * the figures. A request that asks for "Expect: 100-continue" (curl -F does
 * for a body over 1 MiB) is answered "100 Continue" at once, as real servers
 * do, so that no client waits for it. Runs until it is killed. */
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

/* The value of the first "NAME:" header line (NAME with its colon), or NULL. */
static const char *header_value(const char *text, const char *name) {
  size_t size = strlen(name);
  for (const char *line = text; line != NULL && *line != '\0';) {
    if (strncasecmp(line, name, size) == 0) return line + size;
    line = strchr(line, '\n');
    if (line != NULL) ++line;
  }
  return NULL;
}

/* The value of the first "Content-Length:" header line, or -1. */
static long long content_length(const char *text) {
  const char *value = header_value(text, "Content-Length:");
  return value != NULL ? strtoll(value, NULL, 10) : -1;
}

/* True when the header asks for "Expect: 100-continue". */
static int expects_continue(const char *text) {
  const char *value = header_value(text, "Expect:");
  if (value == NULL) return 0;
  value += strspn(value, " \t");
  return strncasecmp(value, "100-continue", 12) == 0;
}

/* Receives up to LIMIT bytes of the body: copied into the buffer when
 * COPY is set, otherwise dropped in the kernel (MSG_TRUNC), falling back to
 * copying where the system refuses that. */
static ssize_t take(int fd, long long limit, int copy) {
  static int truncate_refused;
  if (!copy && !truncate_refused) {
    size_t size = limit > 0 && limit < (64LL << 20) ? (size_t)limit : (size_t)64 << 20;
    ssize_t got = recv(fd, NULL, size, MSG_TRUNC);
    if (got >= 0 || errno != EINVAL) return got;
    truncate_refused = 1;
  }
  size_t size = limit > 0 && limit < (long long)sizeof buffer ? (size_t)limit : sizeof buffer;
  return recv(fd, buffer, size, 0);
}

static unsigned long answers;

/* cksum(1)'s CRC: polynomial 0x04C11DB7, most significant bit first, over
 * the bytes and then their count (least significant byte first), inverted. */
static unsigned int crc_table[256];

static void crc_start(void) {
  for (unsigned int i = 0; i < 256; ++i) {
    unsigned int c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    crc_table[i] = c;
  }
}

static unsigned int crc_add(unsigned int crc, const unsigned char *data, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ crc_table[(crc >> 24) ^ data[i]];
  return crc;
}

static unsigned int crc_end(unsigned int crc, unsigned long long length) {
  for (; length != 0; length >>= 8) {
    unsigned char byte = (unsigned char)(length & 0xFF);
    crc = crc_add(crc, &byte, 1);
  }
  return ~crc;
}

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
  const char *line_end = strstr(header, " HTTP/");
  /* A target of "-checked?" (a GET-like target with an empty query) counts too. */
  if (line_end != NULL && line_end > header && line_end[-1] == '?') --line_end;
  int checked = line_end != NULL && line_end - header >= 8 && memcmp(line_end - 8, "-checked", 8) == 0;
  unsigned int crc = checked ? crc_add(0, (const unsigned char *)header + header_size, held - header_size) : 0;
  if (expects_continue(header)) {
    static const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
    send_all(fd, go_on, sizeof go_on - 1);
  }
  while (announced < 0 || received < announced) {
    ssize_t got = take(fd, announced < 0 ? -1 : announced - received, checked);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received += got;
    if (checked) crc = crc_add(crc, (const unsigned char *)buffer, (size_t)got);
  }
  char answer[512];
  char text[256];
  int text_size = snprintf(text, sizeof text, "received %lld of %lld, answer %lu", received,
                           announced, ++answers);
  if (checked) {
    /* The boundary, so that the caller can rebuild the body it expected. */
    const char *boundary = strcasestr(header, "boundary=");
    int boundary_size = boundary != NULL ? (int)strcspn(boundary + 9, "\r\n") : 0;
    if (boundary_size > 70) boundary_size = 70;
    text_size += snprintf(text + text_size, sizeof text - (size_t)text_size, ", crc %u %lld, boundary %.*s",
                          crc_end(crc, (unsigned long long)received), received, boundary_size,
                          boundary != NULL ? boundary + 9 : "");
  }
  text_size += snprintf(text + text_size, sizeof text - (size_t)text_size, "\n");
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
  crc_start();
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
