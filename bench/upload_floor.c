/* The least uploader, for the benchmark's upload cases: its time is what
 * connecting, sending a file's bytes and reading the answer cost, with
 * nothing of a program around them (no multipart framing, no search).
 *
 *   upload_floor PORT FILE SAVE [CAFILE]
 *
 * Connects to 127.0.0.1:PORT (through TLS, the server's certificate checked
 * against CAFILE and the address, when CAFILE is given), sends
 * "POST /upload HTTP/1.0" with FILE as the whole body, read in pieces of
 * 512 KiB and each sent whole before the next is read, and writes the
 * answer to SAVE: 0 when it came, 1 otherwise. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static SSL* ssl;
static int fd = -1;

/* Sends size bytes of data whole: 0, or -1 on a failure. */
static int send_whole(const char* data, size_t size) {
  while (size > 0) {
    int sent = ssl != NULL ? SSL_write(ssl, data, size > (1u << 30) ? (1 << 30) : (int)size)
                           : (int)send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return -1;
    data += sent;
    size -= (size_t)sent;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: upload_floor PORT FILE SAVE [CAFILE]\n");
    return 2;
  }
  int file = open(argv[2], O_RDONLY);
  struct stat info;
  if (file < 0 || fstat(file, &info) != 0) return 1;
  fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  if (argc == 5) {
    if (OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, NULL) != 1) return 1;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == NULL || SSL_CTX_load_verify_locations(context, argv[4], NULL) != 1) return 1;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    ssl = SSL_new(context);
    if (ssl == NULL || SSL_set_fd(ssl, fd) != 1 ||
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1") != 1 || SSL_connect(ssl) != 1) {
      return 1;
    }
  }
  char head[256];
  int length = snprintf(head, sizeof head,
                        "POST /upload HTTP/1.0\r\nContent-Type: application/octet-stream\r\n"
                        "Content-Length: %lld\r\n\r\n", (long long)info.st_size);
  if (length <= 0 || length >= (int)sizeof head || send_whole(head, (size_t)length) != 0) return 1;
  static char piece[512 << 10];
  for (off_t done = 0; done < info.st_size;) {
    ssize_t got = pread(file, piece, sizeof piece, done);
    if (got <= 0 || send_whole(piece, (size_t)got) != 0) return 1;
    done += got;
  }
  char answer[4096];
  size_t size = 0;
  int got;
  while (size < sizeof answer &&
         (got = ssl != NULL ? SSL_read(ssl, answer + size, (int)(sizeof answer - size))
                            : (int)recv(fd, answer + size, sizeof answer - size, 0)) > 0) {
    size += (size_t)got;
  }
  if (ssl != NULL) SSL_shutdown(ssl);
  FILE* out = fopen(argv[3], "wb");
  if (size == 0 || out == NULL || fwrite(answer, 1, size, out) != size || fclose(out) != 0) return 1;
  return 0;
}
