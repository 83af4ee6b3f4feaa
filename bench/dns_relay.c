/* A minimal single-threaded UDP DNS relay for the benchmarks: the reference for what relaying
 * costs when many queries are in flight at once.
 *
 * Every query goes out unchanged except for its ID, which becomes the number of a table slot
 * (65536 slots, reused round-robin) that remembers the client and the client's ID; the answer
 * from the upstream gets the client's ID back and goes to the client. One socket towards the
 * upstream, connected, so only the upstream's address and port can answer. No rules, no time-outs:
 * an unanswered slot is simply reused later.
 *
 * Usage: dns_relay --listen ADDR --port PORT --upstream ADDR --upstream-port PORT
 *                  [--seconds LIMIT]
 * Serves until SIGTERM or SIGINT, or at most LIMIT seconds (default 3600).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_MESSAGE 4096
#define SLOTS 65536
#define BATCH 64

struct slot {
  struct sockaddr_in client;
  socklen_t client_len;
  unsigned char id[2];
  unsigned char used;
};

static volatile sig_atomic_t stop_requested = 0;

static void on_signal(int sig) {
  (void)sig;
  stop_requested = 1;
}

static int open_udp(void) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  if (fd < 0) {
    perror("socket");
    exit(1);
  }
  int buf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  return fd;
}

static void address(struct sockaddr_in* sin, const char* text, int port) {
  memset(sin, 0, sizeof *sin);
  sin->sin_family = AF_INET;
  sin->sin_port = htons((uint16_t)port);
  if (inet_pton(AF_INET, text, &sin->sin_addr) != 1 || port <= 0 || port > 65535) {
    fprintf(stderr, "bad address %s port %d\n", text, port);
    exit(2);
  }
}

int main(int argc, char** argv) {
  const char* listen_addr = "127.0.0.1";
  const char* upstream_addr = NULL;
  int port = 0, upstream_port = 0;
  long seconds = 3600;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--listen") == 0) {
      listen_addr = argv[i + 1];
    } else if (strcmp(argv[i], "--port") == 0) {
      port = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--upstream") == 0) {
      upstream_addr = argv[i + 1];
    } else if (strcmp(argv[i], "--upstream-port") == 0) {
      upstream_port = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--seconds") == 0) {
      seconds = atol(argv[i + 1]);
    } else {
      fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (!upstream_addr || seconds <= 0) {
    fprintf(stderr, "usage: dns_relay --listen ADDR --port PORT --upstream ADDR "
                    "--upstream-port PORT [--seconds LIMIT]\n");
    return 2;
  }
  struct sockaddr_in listen_sin, upstream_sin;
  address(&listen_sin, listen_addr, port);
  address(&upstream_sin, upstream_addr, upstream_port);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  int lfd = open_udp();
  if (bind(lfd, (struct sockaddr*)&listen_sin, sizeof listen_sin) != 0) {
    perror("bind");
    return 1;
  }
  int ufd = open_udp();
  if (connect(ufd, (struct sockaddr*)&upstream_sin, sizeof upstream_sin) != 0) {
    perror("connect");
    return 1;
  }

  struct slot* slots = calloc(SLOTS, sizeof *slots);
  if (!slots) {
    perror("calloc");
    return 1;
  }
  uint16_t next = 0;
  unsigned char buf[MAX_MESSAGE];
  const time_t deadline = time(NULL) + seconds;
  while (!stop_requested && time(NULL) < deadline) {
    struct pollfd p[2] = {{lfd, POLLIN, 0}, {ufd, POLLIN, 0}};
    if (poll(p, 2, 1000) <= 0) continue;
    if (p[1].revents) {
      for (int k = 0; k < BATCH; ++k) {
        ssize_t n = recv(ufd, buf, sizeof buf, 0);
        if (n < 0 && errno != EINTR) break;
        if (n < 12) continue;
        struct slot* s = &slots[(buf[0] << 8) | buf[1]];
        if (!s->used) continue;
        buf[0] = s->id[0];
        buf[1] = s->id[1];
        s->used = 0;
        sendto(lfd, buf, (size_t)n, 0, (struct sockaddr*)&s->client, s->client_len);
      }
    }
    if (p[0].revents) {
      for (int k = 0; k < BATCH; ++k) {
        struct sockaddr_in from;
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(lfd, buf, sizeof buf, 0, (struct sockaddr*)&from, &from_len);
        if (n < 0 && errno != EINTR) break;
        if (n < 12) continue;
        uint16_t id = next++;
        struct slot* s = &slots[id];
        s->client = from;
        s->client_len = from_len;
        s->id[0] = buf[0];
        s->id[1] = buf[1];
        s->used = 1;
        buf[0] = (unsigned char)(id >> 8);
        buf[1] = (unsigned char)id;
        send(ufd, buf, (size_t)n, 0);
      }
    }
  }
  free(slots);
  close(ufd);
  close(lfd);
  return 0;
}
