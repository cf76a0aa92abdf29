// Kills the program it is preloaded into (LD_PRELOAD) at a chosen file call, so that crash tests
// pick the moment of a kill by what the program does to the disk, and the program carries no
// hook for it:
//   ZEPR_CRASH_WATCH=<path>  only calls on this file or folder, or on a path below it, count
//   ZEPR_CRASH_AT=<call>:<n>[:before|after]  the n-th counted call of that kind (1 is the
//       first) ends the process with SIGKILL, before it is made or (default) after it
// Kinds: rename (rename, renameat, renameat2: either name counts), mkdir, unlink, rmdir (unlinkat
// and remove by what they remove), fsync, fdatasync, write (write, pwrite), or any of them: any.
// The same program on the same input makes the same calls, so a kill point is repeatable.
// The variables and LD_PRELOAD leave the environment at load: the programs it starts run whole.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum Kind { kRename, kMkdir, kUnlink, kRmdir, kFsync, kFdatasync, kWrite, kAny, kKinds };
static const char* const kKindNames[kKinds] = {"rename", "mkdir",     "unlink", "rmdir",
                                               "fsync",  "fdatasync", "write",  "any"};

static char watch[PATH_MAX];
static size_t watch_length;
static int kill_kind = -1;  // none: the shim does nothing
static long kill_at;
static int kill_before;
static long counted;

// Keeps the normalised absolute path of path (relative to the folder dirfd, or to the working
// folder): "." and empty parts dropped, ".." taken back a level.
static int Absolute(int dirfd, const char* path, char* out) {
  char joined[2 * PATH_MAX];
  if (path[0] == '/') {
    snprintf(joined, sizeof joined, "%s", path);
  } else {
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
      if (getcwd(base, sizeof base) == NULL) return 0;
    } else {
      char link[64];
      snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
      const ssize_t n = readlink(link, base, sizeof base - 1);
      if (n < 0) return 0;
      base[n] = '\0';
    }
    snprintf(joined, sizeof joined, "%s/%s", base, path);
  }
  size_t length = 0;
  for (const char* part = joined; *part != '\0';) {
    while (*part == '/') ++part;
    const char* end = strchrnul(part, '/');
    const size_t size = (size_t)(end - part);
    if (size == 2 && part[0] == '.' && part[1] == '.') {
      while (length > 0 && out[--length] != '/') {
      }
    } else if (size > 0 && !(size == 1 && part[0] == '.')) {
      if (length + 1 + size >= PATH_MAX) return 0;
      out[length++] = '/';
      memcpy(out + length, part, size);
      length += size;
    }
    part = end;
  }
  if (length == 0) out[length++] = '/';
  out[length] = '\0';
  return 1;
}

static int Watched(int dirfd, const char* path) {
  char absolute[PATH_MAX];
  if (path == NULL || !Absolute(dirfd, path, absolute)) return 0;
  return strncmp(absolute, watch, watch_length) == 0 &&
         (absolute[watch_length] == '\0' || absolute[watch_length] == '/');
}

static int WatchedFd(int fd) {
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0 || path[0] != '/') return 0;  // a pipe, a socket
  path[n] = '\0';
  char* deleted = strstr(path, " (deleted)");
  if (deleted != NULL && deleted[10] == '\0') *deleted = '\0';
  return Watched(AT_FDCWD, path);
}

static void Die(void) {
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

// Whether a call of that kind can count at all, before its paths are looked at.
static int Chosen(int kind) { return kill_kind == kAny || (kill_kind >= 0 && kill_kind == kind); }

// Counts a call of a chosen kind on a watched path; dies here when it is the chosen one and the
// kill comes before it. True when the kill comes once the call is made.
static int Count(int watched) {
  if (!watched) return 0;
  if (__atomic_add_fetch(&counted, 1, __ATOMIC_SEQ_CST) != kill_at) return 0;
  if (kill_before) Die();
  return 1;
}

static int After(int killed, int result) {
  if (killed) Die();
  return result;
}

// The C library's own function, looked up once.
#define REAL(name)                                                                     \
  ({                                                                                   \
    static __typeof__(&name) real_##name;                                              \
    if (real_##name == NULL) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    real_##name;                                                                       \
  })

__attribute__((constructor)) static void Load(void) {
  const char* folder = getenv("ZEPR_CRASH_WATCH");
  const char* at = getenv("ZEPR_CRASH_AT");
  if (folder != NULL && at != NULL && Absolute(AT_FDCWD, folder, watch)) {
    watch_length = strcmp(watch, "/") == 0 ? 0 : strlen(watch);
    char kind[32], when[16] = "after";
    long n = 0;
    if (sscanf(at, "%31[a-z]:%ld:%15s", kind, &n, when) >= 2 && n > 0) {
      for (int k = 0; k < kKinds; ++k) {
        if (strcmp(kind, kKindNames[k]) == 0) kill_kind = k;
      }
      kill_at = n;
      kill_before = strcmp(when, "before") == 0;
      if (!kill_before && strcmp(when, "after") != 0) kill_kind = -1;
    }
    if (kill_kind < 0) fprintf(stderr, "crash shim: ZEPR_CRASH_AT=%s is not understood\n", at);
  }
  unsetenv("LD_PRELOAD");
  unsetenv("ZEPR_CRASH_WATCH");
  unsetenv("ZEPR_CRASH_AT");
}

int rename(const char* from, const char* to) {
  const int killed = Chosen(kRename) && Count(Watched(AT_FDCWD, from) || Watched(AT_FDCWD, to));
  return After(killed, REAL(rename)(from, to));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  const int killed = Chosen(kRename) && Count(Watched(from_dir, from) || Watched(to_dir, to));
  return After(killed, REAL(renameat)(from_dir, from, to_dir, to));
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  const int killed = Chosen(kRename) && Count(Watched(from_dir, from) || Watched(to_dir, to));
  return After(killed, REAL(renameat2)(from_dir, from, to_dir, to, flags));
}

int mkdir(const char* path, mode_t mode) {
  const int killed = Chosen(kMkdir) && Count(Watched(AT_FDCWD, path));
  return After(killed, REAL(mkdir)(path, mode));
}

int mkdirat(int dir, const char* path, mode_t mode) {
  const int killed = Chosen(kMkdir) && Count(Watched(dir, path));
  return After(killed, REAL(mkdirat)(dir, path, mode));
}

int unlink(const char* path) {
  const int killed = Chosen(kUnlink) && Count(Watched(AT_FDCWD, path));
  return After(killed, REAL(unlink)(path));
}

int rmdir(const char* path) {
  const int killed = Chosen(kRmdir) && Count(Watched(AT_FDCWD, path));
  return After(killed, REAL(rmdir)(path));
}

int unlinkat(int dir, const char* path, int flags) {
  const int kind = (flags & AT_REMOVEDIR) != 0 ? kRmdir : kUnlink;
  const int killed = Chosen(kind) && Count(Watched(dir, path));
  return After(killed, REAL(unlinkat)(dir, path, flags));
}

// The C library's remove unlinks or removes a folder inside itself, out of reach of the two
// above; what it removes decides its kind.
int remove(const char* path) {
  struct stat st;
  const int kind = lstat(path, &st) == 0 && S_ISDIR(st.st_mode) ? kRmdir : kUnlink;
  const int killed = Chosen(kind) && Count(Watched(AT_FDCWD, path));
  return After(killed, REAL(remove)(path));
}

int fsync(int fd) {
  const int killed = Chosen(kFsync) && Count(WatchedFd(fd));
  return After(killed, REAL(fsync)(fd));
}

int fdatasync(int fd) {
  const int killed = Chosen(kFdatasync) && Count(WatchedFd(fd));
  return After(killed, REAL(fdatasync)(fd));
}

ssize_t write(int fd, const void* bytes, size_t size) {
  const int killed = Chosen(kWrite) && Count(WatchedFd(fd));
  const ssize_t result = REAL(write)(fd, bytes, size);
  if (killed) Die();
  return result;
}

ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset) {
  const int killed = Chosen(kWrite) && Count(WatchedFd(fd));
  const ssize_t result = REAL(pwrite)(fd, bytes, size, offset);
  if (killed) Die();
  return result;
}

ssize_t pwrite64(int fd, const void* bytes, size_t size, off64_t offset) {
  const int killed = Chosen(kWrite) && Count(WatchedFd(fd));
  const ssize_t result = REAL(pwrite64)(fd, bytes, size, offset);
  if (killed) Die();
  return result;
}
