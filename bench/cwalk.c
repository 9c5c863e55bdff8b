/* cwalk: the smallest walker that does what a scan cannot avoid, as the yardstick for
 * ifind in bench/compare. It lists directories with getdents64, calls fstatat only on
 * regular files (and entries whose type the listing leaves out), and prints
 * "path|size" for each regular file, like find -type f -printf '%p|%s\n'.
 *
 *   cwalk [-t THREADS] DIR...
 *
 * With more than one thread, the threads share a stack of directories still to read;
 * each prints whole lines from its own buffer, so the order of lines is not defined. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

struct dirent64_raw {
  unsigned long long d_ino;
  long long d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_more = PTHREAD_COND_INITIALIZER;
static char** g_stack;  /* directories to read (malloc'ed paths) */
static size_t g_depth, g_cap;
static int g_busy;      /* threads reading a directory: they may push more */
static int g_threads = 1;

struct out {
  char buf[1 << 20];
  size_t len;
};

static pthread_mutex_t g_outLock = PTHREAD_MUTEX_INITIALIZER;

/* Under a lock: a pipe interleaves concurrent writes larger than PIPE_BUF. */
static void flush_out(struct out* o) {
  size_t done = 0;
  pthread_mutex_lock(&g_outLock);
  while (done < o->len) {
    ssize_t n = write(1, o->buf + done, o->len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) exit(1);
    done += (size_t)n;
  }
  pthread_mutex_unlock(&g_outLock);
  o->len = 0;
}

static void put_line(struct out* o, const char* dir, size_t dlen, const char* name, long long size) {
  if (o->len + dlen + strlen(name) + 32 > sizeof o->buf) flush_out(o);
  memcpy(o->buf + o->len, dir, dlen);
  o->len += dlen;
  o->buf[o->len++] = '/';
  o->len += (size_t)sprintf(o->buf + o->len, "%s|%lld\n", name, size);
}

/* Takes ownership of path. */
static void push(char* path) {
  if (g_depth == g_cap) {
    g_cap = g_cap ? g_cap * 2 : 1024;
    g_stack = realloc(g_stack, g_cap * sizeof *g_stack);
    if (!g_stack) exit(1);
  }
  g_stack[g_depth++] = path;
}

static void read_dir(char* path, struct out* o, char* dents, size_t dsize) {
  size_t plen = strlen(path);
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "cwalk: %s: %s\n", path, strerror(errno));
    return;
  }
  for (;;) {
    long got = syscall(SYS_getdents64, fd, dents, dsize);
    if (got <= 0) break;
    for (long off = 0; off < got;) {
      struct dirent64_raw* d = (struct dirent64_raw*)(dents + off);
      off += d->d_reclen;
      const char* nm = d->d_name;
      if (nm[0] == '.' && (nm[1] == 0 || (nm[1] == '.' && nm[2] == 0))) continue;
      unsigned char type = d->d_type;
      struct stat st;
      if (type == DT_REG || type == DT_UNKNOWN) {
        if (fstatat(fd, nm, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode)) {
          put_line(o, path, plen, nm, (long long)st.st_size);
          continue;
        }
        if (!S_ISDIR(st.st_mode)) continue;
        type = DT_DIR;
      }
      if (type != DT_DIR) continue;
      size_t nlen = strlen(nm);
      char* sub = malloc(plen + nlen + 2);
      if (!sub) exit(1);
      memcpy(sub, path, plen);
      sub[plen] = '/';
      memcpy(sub + plen + 1, nm, nlen + 1);
      if (g_threads > 1) {
        pthread_mutex_lock(&g_lock);
        push(sub);
        pthread_mutex_unlock(&g_lock);
        pthread_cond_signal(&g_more);
      } else {
        push(sub);
      }
    }
  }
  close(fd);
}

static void* worker(void* arg) {
  (void)arg;
  struct out* o = malloc(sizeof *o);
  size_t dsize = 64 * 1024;
  char* dents = malloc(dsize);
  if (!o || !dents) exit(1);
  o->len = 0;
  for (;;) {
    pthread_mutex_lock(&g_lock);
    while (g_depth == 0 && g_busy > 0) pthread_cond_wait(&g_more, &g_lock);
    if (g_depth == 0) {
      pthread_mutex_unlock(&g_lock);
      pthread_cond_broadcast(&g_more);
      break;
    }
    char* path = g_stack[--g_depth];
    ++g_busy;
    pthread_mutex_unlock(&g_lock);
    read_dir(path, o, dents, dsize);
    free(path);
    pthread_mutex_lock(&g_lock);
    --g_busy;
    pthread_mutex_unlock(&g_lock);
    pthread_cond_broadcast(&g_more);
  }
  flush_out(o);
  free(dents);
  free(o);
  return NULL;
}

int main(int argc, char** argv) {
  int opt;
  while ((opt = getopt(argc, argv, "t:")) != -1) {
    if (opt != 't') {
      fprintf(stderr, "usage: cwalk [-t THREADS] DIR...\n");
      return 2;
    }
    g_threads = atoi(optarg);
    if (g_threads < 1) g_threads = 1;
  }
  for (int i = argc - 1; i >= optind; --i) {
    char* root = strdup(argv[i]);
    size_t len = strlen(root);
    while (len > 1 && root[len - 1] == '/') root[--len] = 0;
    push(root);
  }
  pthread_t* tids = calloc((size_t)g_threads, sizeof *tids);
  for (int i = 1; i < g_threads; ++i) pthread_create(&tids[i], NULL, worker, NULL);
  worker(NULL);
  for (int i = 1; i < g_threads; ++i) pthread_join(tids[i], NULL);
  free(tids);
  free(g_stack);
  return 0;
}
