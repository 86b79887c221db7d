/* The least HTTPS client the system's OpenSSL allows, for the benchmark's
 * small HTTPS case: its time is what loading the library, setting up a
 * context, reading one CA file and one handshake cost, with nothing of a
 * program around them.
 *
 *   tls_floor PORT CAFILE PAGE SAVE
 *
 * Connects to 127.0.0.1:PORT, checks the server's certificate against CAFILE
 * and the address, sends "GET PAGE HTTP/1.0", writes the body to SAVE, sends
 * a close-notify and exits: 0 when the answer came whole, 1 otherwise. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: tls_floor PORT CAFILE PAGE SAVE\n");
    return 2;
  }
  if (OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, NULL) != 1) return 1;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == NULL || SSL_CTX_load_verify_locations(context, argv[2], NULL) != 1) return 1;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  SSL* ssl = SSL_new(context);
  if (ssl == NULL || SSL_set_fd(ssl, fd) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1") != 1 || SSL_connect(ssl) != 1) {
    return 1;
  }
  char request[512];
  int length = snprintf(request, sizeof request, "GET %s HTTP/1.0\r\n\r\n", argv[3]);
  if (length <= 0 || length >= (int)sizeof request || SSL_write(ssl, request, length) != length) return 1;
  /* The whole answer, then the body after the blank line. */
  size_t size = 0, room = 65536;
  char* answer = malloc(room);
  int got;
  while (answer != NULL && (got = SSL_read(ssl, answer + size, (int)(room - size))) > 0) {
    size += (size_t)got;
    if (size == room) answer = realloc(answer, room *= 2);
  }
  SSL_shutdown(ssl);
  if (answer == NULL) return 1;
  const char* body = NULL;
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (memcmp(answer + i, "\r\n\r\n", 4) == 0) {
      body = answer + i + 4;
      break;
    }
  }
  FILE* out = fopen(argv[4], "wb");
  if (body == NULL || out == NULL) return 1;
  size_t body_size = size - (size_t)(body - answer);
  if (fwrite(body, 1, body_size, out) != body_size || fclose(out) != 0) return 1;
  return 0;
}
