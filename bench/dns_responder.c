/* A minimal single-threaded UDP DNS responder for the benchmarks.
 *
 * It answers every query itself: for type A one record with the given address (0.0.0.0 by
 * default, the shape of the proxy's local answer for a blocked name), for any other type no
 * record; ID and RD copied, QR, AA and RA set, the first question copied. Datagrams that hold
 * no question are dropped.
 *
 * Two roles in bench/run-all.sh:
 *   - the ceiling: the least work a UDP responder can do per query with one recvfrom and one
 *     sendto, the yardstick for the proxy's sinkhole path;
 *   - a slow upstream: with --delay-ms each answer leaves that many milliseconds after its
 *     query arrived (answers wait in arrival order; the delay is the same for all, so the order
 *     is also the order of their due times).
 *
 * Usage: dns_responder --listen ADDR --port PORT [--answer A.B.C.D] [--delay-ms MS]
 *                      [--seconds LIMIT]
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
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define MAX_MESSAGE 512
/* Answers held back at once with --delay-ms; beyond that a query is dropped. */
#define MAX_HELD 65536

struct held {
  uint64_t due_ns;
  struct sockaddr_in to;
  socklen_t to_len;
  uint16_t len;
  unsigned char bytes[MAX_MESSAGE];
};

static volatile sig_atomic_t stop_requested = 0;

static void on_signal(int sig) {
  (void)sig;
  stop_requested = 1;
}

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Builds the answer into out; returns its length, or 0 when the query holds no question. */
static size_t build_answer(const unsigned char* q, size_t n, const unsigned char addr[4],
                           unsigned char* out) {
  size_t pos = 12;
  if (n < 12) return 0;
  for (;;) {
    if (pos >= n) return 0;
    unsigned len = q[pos];
    if (len == 0) break;
    if (len >= 64) return 0;
    pos += 1 + len;
  }
  if (pos + 5 > n) return 0;
  size_t end = pos + 5;
  uint16_t qtype = (uint16_t)((q[pos + 1] << 8) | q[pos + 2]);
  if (end + 16 > MAX_MESSAGE) return 0;
  out[0] = q[0];
  out[1] = q[1];
  out[2] = (unsigned char)(0x84 | (q[2] & 0x01));
  out[3] = 0x80;
  out[4] = 0;
  out[5] = 1;
  out[6] = 0;
  out[7] = qtype == 1 ? 1 : 0;
  memset(out + 8, 0, 4);
  memcpy(out + 12, q + 12, end - 12);
  if (qtype != 1) return end;
  static const unsigned char record[12] = {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01,
                                           0x00, 0x00, 0x00, 0x3C, 0x00, 0x04};
  memcpy(out + end, record, sizeof record);
  memcpy(out + end + sizeof record, addr, 4);
  return end + 16;
}

int main(int argc, char** argv) {
  const char* listen_addr = "127.0.0.1";
  int port = 0;
  const char* answer = "0.0.0.0";
  long delay_ms = 0;
  long seconds = 3600;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--listen") == 0) {
      listen_addr = argv[i + 1];
    } else if (strcmp(argv[i], "--port") == 0) {
      port = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--answer") == 0) {
      answer = argv[i + 1];
    } else if (strcmp(argv[i], "--delay-ms") == 0) {
      delay_ms = atol(argv[i + 1]);
    } else if (strcmp(argv[i], "--seconds") == 0) {
      seconds = atol(argv[i + 1]);
    } else {
      fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (port <= 0 || port > 65535 || delay_ms < 0 || seconds <= 0) {
    fprintf(stderr, "usage: dns_responder --listen ADDR --port PORT [--answer A.B.C.D] "
                    "[--delay-ms MS] [--seconds LIMIT]\n");
    return 2;
  }
  unsigned char addr[4];
  if (inet_pton(AF_INET, answer, addr) != 1) {
    fprintf(stderr, "bad --answer %s\n", answer);
    return 2;
  }

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  int buf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  /* A blocking receive wakes up every second to check the time limit. */
  struct timeval tick = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons((uint16_t)port);
  if (inet_pton(AF_INET, listen_addr, &sin.sin_addr) != 1) {
    fprintf(stderr, "bad --listen %s\n", listen_addr);
    return 2;
  }
  if (bind(fd, (struct sockaddr*)&sin, sizeof sin) != 0) {
    perror("bind");
    return 1;
  }

  /* Timers fire as close to their time as the kernel allows: the answers' delay is the point. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  const uint64_t deadline = now_ns() + (uint64_t)seconds * 1000000000u;
  const uint64_t delay_ns = (uint64_t)delay_ms * 1000000u;
  struct held* held = NULL;
  size_t head = 0, count = 0;
  if (delay_ns > 0) {
    held = calloc(MAX_HELD, sizeof *held);
    if (!held) {
      perror("calloc");
      return 1;
    }
  }

  unsigned char in[MAX_MESSAGE + 1];
  unsigned char out[MAX_MESSAGE];
  while (!stop_requested) {
    uint64_t now = now_ns();
    if (now >= deadline) break;
    /* Send what is due, then wait for a query or the next due time. */
    while (count > 0 && held[head].due_ns <= now) {
      struct held* h = &held[head];
      sendto(fd, h->bytes, h->len, 0, (struct sockaddr*)&h->to, h->to_len);
      head = (head + 1) % MAX_HELD;
      --count;
    }
    if (delay_ns > 0) {
      /* Wait for a query, or until the next answer is due (to the nanosecond, give or take
       * the timer slack set above). */
      uint64_t wait = 1000000000u;
      if (count > 0) wait = held[head].due_ns > now ? held[head].due_ns - now : 0;
      struct timespec ts = {(time_t)(wait / 1000000000u), (long)(wait % 1000000000u)};
      struct pollfd p = {fd, POLLIN, 0};
      if (ppoll(&p, 1, &ts, NULL) <= 0) continue;
    }
    struct sockaddr_in from;
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fd, in, sizeof in, delay_ns > 0 ? MSG_DONTWAIT : 0,
                         (struct sockaddr*)&from, &from_len);
    if (n <= 0) continue;
    size_t len = build_answer(in, (size_t)n, addr, out);
    if (len == 0) continue;
    if (delay_ns == 0) {
      sendto(fd, out, len, 0, (struct sockaddr*)&from, from_len);
      continue;
    }
    if (count == MAX_HELD) continue;
    struct held* h = &held[(head + count) % MAX_HELD];
    h->due_ns = now_ns() + delay_ns;
    h->to = from;
    h->to_len = from_len;
    h->len = (uint16_t)len;
    memcpy(h->bytes, out, len);
    ++count;
  }
  free(held);
  close(fd);
  return 0;
}
