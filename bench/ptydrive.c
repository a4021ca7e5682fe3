/* ptydrive: the physical reference for the benchmarks.
 *
 * Drives one program on a fresh pseudo-terminal with nothing between the
 * measurement and the system calls: no thread, no queue, no sanitizing, no
 * copy of the output. Echo is turned off on the terminal, as quillo does.
 *
 *   ptydrive roundtrip PROGRAM PROMPT LINE N
 *       writes LINE + "\n" and poll()s/read()s until the output ends with
 *       PROMPT, N times; prints one duration in nanoseconds per line.
 *   ptydrive bulk PROGRAM PROMPT LINE N
 *       writes LINE + "\n" and read()s in a tight loop (blocking, 64 KiB at a
 *       time) until PROMPT appears, N times; prints "nanoseconds bytes" per
 *       line.
 *   ptydrive spawn PROGRAM fork|vfork BALLAST_MB N
 *       starts PROGRAM on a fresh pseudo-terminal N times, each time timing
 *       from the pty's creation until the exec has happened, then ends it
 *       with SIGHUP (not timed); prints nanoseconds per line. Before that the
 *       driver touches BALLAST_MB MiB of heap, so that fork() has an address
 *       space to copy the size of the host that would call it.
 *
 *   ptydrive wake CPU_A CPU_B N
 *       two processes, pinned to CPU_A and CPU_B, pass one byte back and
 *       forth through pipes N times; prints nanoseconds per round trip. With
 *       two CPUs this is the price of waking a task on the same CPU against
 *       waking one on another (possibly idle) CPU, which every hand-over in
 *       a pseudo-terminal round trip pays.
 *
 * The program's first prompt is awaited (and not timed) before the first
 * round. Exits non-zero with a message on stderr on any failure.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void die(const char* what) {
  fprintf(stderr, "ptydrive: %s: %s\n", what, strerror(errno));
  exit(2);
}

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* The child's side: new session, the slave as controlling terminal and as
 * 0, 1 and 2, echo off, then exec. Only system calls, so it is also safe
 * after vfork. */
static void child_side(const char* name, const char* program) {
  struct winsize size = {.ws_row = 24, .ws_col = 80};
  if (setsid() < 0) _exit(126);
  int slave = open(name, O_RDWR); /* becomes the controlling terminal */
  if (slave < 0) _exit(126);
  struct termios attrs;
  if (tcgetattr(slave, &attrs) == 0) {
    attrs.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(slave, TCSANOW, &attrs);
  }
  ioctl(slave, TIOCSWINSZ, &size);
  dup2(slave, 0);
  dup2(slave, 1);
  dup2(slave, 2);
  if (slave > 2) close(slave);
  signal(SIGPIPE, SIG_DFL);
  execl(program, program, (char*)NULL);
  _exit(127);
}

/* Starts PROGRAM on a new pseudo-terminal and returns once it has exec'd (a
 * close-on-exec pipe closes), as a library's spawn call would. */
static pid_t spawn_on_pty(const char* program, int* master_out, int use_vfork) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) die("posix_openpt");
  if (grantpt(master) != 0 || unlockpt(master) != 0) die("grantpt/unlockpt");
  char name[64];
  if (ptsname_r(master, name, sizeof name) != 0) die("ptsname_r");
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) die("pipe2");
  pid_t pid = use_vfork ? vfork() : fork();
  if (pid < 0) die("fork");
  if (pid == 0) child_side(name, program);
  close(pipe_fds[1]);
  char byte;
  while (read(pipe_fds[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(pipe_fds[0]);
  *master_out = master;
  return pid;
}

static void end_child(pid_t pid, int master) {
  kill(pid, SIGHUP);
  close(master);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

static void write_line(int fd, const char* line) {
  size_t len = strlen(line);
  char* buf = malloc(len + 1);
  if (!buf) die("malloc");
  memcpy(buf, line, len);
  buf[len] = '\n';
  size_t off = 0;
  while (off < len + 1) {
    ssize_t n = write(fd, buf + off, len + 1 - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("write");
    }
    off += (size_t)n;
  }
  free(buf);
}

/* Tracks whether the stream seen so far contains the prompt, keeping only the
 * last prompt-length-minus-one bytes between reads. */
struct matcher {
  const char* prompt;
  size_t plen;
  char carry[256];
  size_t clen;
  char scratch[256 * 2];
};

static int feed(struct matcher* m, const char* data, size_t n) {
  /* The prompt may straddle the previous read and this one. */
  size_t head = n < m->plen - 1 ? n : m->plen - 1;
  memcpy(m->scratch, m->carry, m->clen);
  memcpy(m->scratch + m->clen, data, head);
  if (memmem(m->scratch, m->clen + head, m->prompt, m->plen)) return 1;
  if (memmem(data, n, m->prompt, m->plen)) return 1;
  /* Keep the last plen-1 bytes of (carry + data). */
  size_t keep = m->plen - 1;
  if (n >= keep) {
    memcpy(m->carry, data + n - keep, keep);
    m->clen = keep;
  } else {
    size_t total = m->clen + n;
    size_t drop = total > keep ? total - keep : 0;
    memmove(m->carry, m->carry + drop, m->clen - drop);
    memcpy(m->carry + m->clen - drop, data, n);
    m->clen = total - drop;
  }
  return 0;
}

/* Reads until the prompt; returns the bytes read. With `use_poll`, each read
 * is preceded by a poll() on the descriptor, as an event loop would do. */
static long long read_until_prompt(int fd, const char* prompt, char* buf, size_t cap,
                                   int use_poll) {
  struct matcher m = {.prompt = prompt, .plen = strlen(prompt), .clen = 0};
  long long total = 0;
  for (;;) {
    if (use_poll) {
      struct pollfd pfd = {.fd = fd, .events = POLLIN};
      int r = poll(&pfd, 1, 60000);
      if (r < 0) {
        if (errno == EINTR) continue;
        die("poll");
      }
      if (r == 0) {
        errno = ETIMEDOUT;
        die("waiting for the prompt");
      }
    }
    ssize_t n = read(fd, buf, cap);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("read");
    }
    if (n == 0) {
      errno = EPIPE;
      die("end of output before the prompt");
    }
    total += n;
    if (feed(&m, buf, (size_t)n)) return total;
  }
}

static int spawn_mode(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: ptydrive spawn PROGRAM fork|vfork BALLAST_MB N\n");
    return 2;
  }
  const char* program = argv[2];
  int use_vfork = strcmp(argv[3], "vfork") == 0;
  size_t ballast = (size_t)strtol(argv[4], NULL, 10) << 20;
  long rounds = strtol(argv[5], NULL, 10);
  char* heap = malloc(ballast ? ballast : 1);
  if (!heap) die("malloc");
  memset(heap, 1, ballast);
  for (long i = 0; i < rounds; ++i) {
    int master;
    long long start = now_ns();
    pid_t pid = spawn_on_pty(program, &master, use_vfork);
    long long elapsed = now_ns() - start;
    end_child(pid, master);
    printf("%lld\n", elapsed);
  }
  fflush(stdout);
  free(heap);
  return 0;
}

static void pin_to(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) die("sched_setaffinity");
}

static int wake_mode(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: ptydrive wake CPU_A CPU_B N\n");
    return 2;
  }
  int cpu_a = (int)strtol(argv[2], NULL, 10);
  int cpu_b = (int)strtol(argv[3], NULL, 10);
  long rounds = strtol(argv[4], NULL, 10);
  int there[2], back[2];
  if (pipe(there) != 0 || pipe(back) != 0) die("pipe");
  char byte = 'x';
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    close(there[1]);
    close(back[0]);
    pin_to(cpu_b);
    while (read(there[0], &byte, 1) == 1) {
      if (write(back[1], &byte, 1) != 1) break;
    }
    _exit(0);
  }
  close(there[0]);
  close(back[1]);
  pin_to(cpu_a);
  long long* times = malloc(sizeof *times * (size_t)(rounds > 0 ? rounds : 1));
  if (!times) die("malloc");
  for (long i = 0; i < rounds; ++i) {
    long long start = now_ns();
    if (write(there[1], &byte, 1) != 1 || read(back[0], &byte, 1) != 1) die("ping");
    times[i] = now_ns() - start;
  }
  close(there[1]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (long i = 0; i < rounds; ++i) printf("%lld\n", times[i]);
  free(times);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "spawn") == 0) return spawn_mode(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "wake") == 0) return wake_mode(argc, argv);
  if (argc != 6) {
    fprintf(stderr, "usage: ptydrive roundtrip|bulk PROGRAM PROMPT LINE N\n");
    return 2;
  }
  const char* mode = argv[1];
  const char* program = argv[2];
  const char* prompt = argv[3];
  const char* line = argv[4];
  long rounds = strtol(argv[5], NULL, 10);
  int bulk = strcmp(mode, "bulk") == 0;
  if (!bulk && strcmp(mode, "roundtrip") != 0) {
    fprintf(stderr, "ptydrive: unknown mode %s\n", mode);
    return 2;
  }
  if (strlen(prompt) == 0 || strlen(prompt) >= 256) {
    fprintf(stderr, "ptydrive: prompt must be 1..255 bytes\n");
    return 2;
  }

  size_t cap = 65536;
  char* buf = malloc(cap);
  if (!buf) die("malloc");
  int master;
  pid_t pid = spawn_on_pty(program, &master, 0);
  read_until_prompt(master, prompt, buf, cap, 1);

  for (long i = 0; i < rounds; ++i) {
    long long start = now_ns();
    write_line(master, line);
    long long bytes = read_until_prompt(master, prompt, buf, cap, !bulk);
    long long elapsed = now_ns() - start;
    if (bulk) {
      printf("%lld %lld\n", elapsed, bytes);
    } else {
      printf("%lld\n", elapsed);
    }
  }
  fflush(stdout);
  end_child(pid, master);
  free(buf);
  return 0;
}
