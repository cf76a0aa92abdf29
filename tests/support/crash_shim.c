// Kills the program it is preloaded into (LD_PRELOAD) at a chosen file call, so that crash tests
// pick the moment of a kill by what the program does to the disk, and the program carries no
// hook for it; or logs those calls, so that a test can check their order:
//   ZEPR_CRASH_WATCH=<path>  only calls on this file or folder, or on a path below it, count
//   ZEPR_CRASH_AT=<call>:<n>[:before|after]  the n-th counted call of that kind (1 is the
//       first) ends the process with SIGKILL, before it is made or (default) after it
//   ZEPR_CRASH_LOG=<file>  appends a line per counted call once it returns, in the order they
//       return: "<call>\t<outcome>\t<path>[\t<second path>]", call as named below, outcome "ok"
//       or the error's name (ENOENT); paths absolute, an open file's from /proc/self/fd
// Kinds: rename (rename, renameat, renameat2: either name counts), mkdir, unlink, rmdir (unlinkat
// and remove by what they remove), fsync, fdatasync, write (write, pwrite), or any of them: any.
// The log also has copy_file_range, named so, on the file written to; no kill point counts it.
// The same program on the same input makes the same calls, so a kill point is repeatable.
// The variables and LD_PRELOAD leave the environment at load: the programs it starts run whole.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
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
enum { kCopy = -1 };  // logged only

static char watch[PATH_MAX];
static size_t watch_length;
static int kill_kind = -1;  // none: the shim kills nothing
static long kill_at;
static int kill_before;
static long counted;
static int log_fd = -1;

// The C library's own function, looked up once.
#define REAL(name)                                                            \
  ({                                                                          \
    static __typeof__(&name) real_##name;                                     \
    __typeof__(&name) real = __atomic_load_n(&real_##name, __ATOMIC_ACQUIRE); \
    if (real == NULL) {                                                       \
      real = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                      \
      __atomic_store_n(&real_##name, real, __ATOMIC_RELEASE);                 \
    }                                                                         \
    real;                                                                     \
  })

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

// Whether path is watched; absolute receives its absolute form (empty when there is none).
static int Watched(int dirfd, const char* path, char* absolute) {
  absolute[0] = '\0';
  if (path == NULL || !Absolute(dirfd, path, absolute)) return 0;
  return strncmp(absolute, watch, watch_length) == 0 &&
         (absolute[watch_length] == '\0' || absolute[watch_length] == '/');
}

static int WatchedFd(int fd, char* absolute) {
  char link[64], path[PATH_MAX];
  absolute[0] = '\0';
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0 || path[0] != '/') return 0;  // a pipe, a socket
  path[n] = '\0';
  char* deleted = strstr(path, " (deleted)");
  if (deleted != NULL && deleted[10] == '\0') *deleted = '\0';
  return Watched(AT_FDCWD, path, absolute);
}

static void Die(void) {
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

// Whether a call of that kind can count at all, before its paths are looked at.
static int Chosen(int kind) {
  return kind >= 0 && (kill_kind == kAny || (kill_kind >= 0 && kill_kind == kind));
}

// One call on its way: what it is, its paths, and what becomes of it once made.
struct Call {
  const char* name;
  int killed;  // the kill comes once it is made
  int logged;
  char path[PATH_MAX];
  char other[PATH_MAX];  // a rename's second name
};

// Counts a call of a chosen kind on a watched path; dies here when it is the chosen one and the
// kill comes before it.
static void Count(struct Call* call, int kind, int watched) {
  call->name = kind >= 0 ? kKindNames[kind] : "copy_file_range";
  call->logged = watched && log_fd >= 0;
  call->killed = 0;
  if (!watched || !Chosen(kind)) return;
  if (__atomic_add_fetch(&counted, 1, __ATOMIC_SEQ_CST) != kill_at) return;
  if (kill_before) Die();
  call->killed = 1;
}

// Whether a call's paths need looking at.
static int Wanted(int kind) { return Chosen(kind) || log_fd >= 0; }

static void OnPath(struct Call* call, int kind, int dirfd, const char* path) {
  call->other[0] = '\0';
  Count(call, kind, Wanted(kind) && Watched(dirfd, path, call->path));
}

static void OnFd(struct Call* call, int kind, int fd) {
  call->other[0] = '\0';
  Count(call, kind, Wanted(kind) && WatchedFd(fd, call->path));
}

static void OnRename(struct Call* call, int from_dir, const char* from, int to_dir,
                     const char* to) {
  int watched = 0;
  if (Wanted(kRename)) {
    // Both resolved, so that the log has both names.
    watched = Watched(from_dir, from, call->path);
    watched = Watched(to_dir, to, call->other) || watched;
  }
  Count(call, kRename, watched);
}

// Logs the call (failed when failed, its error in errno), then dies if this is the kill point.
static void Made(const struct Call* call, int failed) {
  if (call->logged) {
    const int error = errno;
    char line[2 * PATH_MAX + 64];
    const char* outcome = failed ? strerrorname_np(error) : "ok";
    int n = snprintf(line, sizeof line, "%s\t%s\t%s%s%s\n", call->name,
                     outcome != NULL ? outcome : "error", call->path,
                     call->other[0] != '\0' ? "\t" : "", call->other);
    if (n > (int)sizeof line - 1) n = (int)sizeof line - 1;
    // One write per line: with O_APPEND the lines of several threads never mix.
    if (n > 0) REAL(write)(log_fd, line, (size_t)n);
    errno = error;
  }
  if (call->killed) Die();
}

__attribute__((constructor)) static void Load(void) {
  const char* folder = getenv("ZEPR_CRASH_WATCH");
  const char* at = getenv("ZEPR_CRASH_AT");
  const char* log = getenv("ZEPR_CRASH_LOG");
  if (folder != NULL && Absolute(AT_FDCWD, folder, watch)) {
    watch_length = strcmp(watch, "/") == 0 ? 0 : strlen(watch);
    if (at != NULL) {
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
    if (log != NULL) {
      log_fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log_fd < 0) fprintf(stderr, "crash shim: cannot open ZEPR_CRASH_LOG=%s\n", log);
    }
  }
  unsetenv("LD_PRELOAD");
  unsetenv("ZEPR_CRASH_WATCH");
  unsetenv("ZEPR_CRASH_AT");
  unsetenv("ZEPR_CRASH_LOG");
}

int rename(const char* from, const char* to) {
  struct Call call;
  OnRename(&call, AT_FDCWD, from, AT_FDCWD, to);
  const int result = REAL(rename)(from, to);
  Made(&call, result != 0);
  return result;
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  struct Call call;
  OnRename(&call, from_dir, from, to_dir, to);
  const int result = REAL(renameat)(from_dir, from, to_dir, to);
  Made(&call, result != 0);
  return result;
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  struct Call call;
  OnRename(&call, from_dir, from, to_dir, to);
  const int result = REAL(renameat2)(from_dir, from, to_dir, to, flags);
  Made(&call, result != 0);
  return result;
}

int mkdir(const char* path, mode_t mode) {
  struct Call call;
  OnPath(&call, kMkdir, AT_FDCWD, path);
  const int result = REAL(mkdir)(path, mode);
  Made(&call, result != 0);
  return result;
}

int mkdirat(int dir, const char* path, mode_t mode) {
  struct Call call;
  OnPath(&call, kMkdir, dir, path);
  const int result = REAL(mkdirat)(dir, path, mode);
  Made(&call, result != 0);
  return result;
}

int unlink(const char* path) {
  struct Call call;
  OnPath(&call, kUnlink, AT_FDCWD, path);
  const int result = REAL(unlink)(path);
  Made(&call, result != 0);
  return result;
}

int rmdir(const char* path) {
  struct Call call;
  OnPath(&call, kRmdir, AT_FDCWD, path);
  const int result = REAL(rmdir)(path);
  Made(&call, result != 0);
  return result;
}

int unlinkat(int dir, const char* path, int flags) {
  struct Call call;
  OnPath(&call, (flags & AT_REMOVEDIR) != 0 ? kRmdir : kUnlink, dir, path);
  const int result = REAL(unlinkat)(dir, path, flags);
  Made(&call, result != 0);
  return result;
}

// The C library's remove unlinks or removes a folder inside itself, out of reach of the two
// above; what it removes decides its kind.
int remove(const char* path) {
  struct stat st;
  struct Call call;
  OnPath(&call, lstat(path, &st) == 0 && S_ISDIR(st.st_mode) ? kRmdir : kUnlink, AT_FDCWD, path);
  const int result = REAL(remove)(path);
  Made(&call, result != 0);
  return result;
}

int fsync(int fd) {
  struct Call call;
  OnFd(&call, kFsync, fd);
  const int result = REAL(fsync)(fd);
  Made(&call, result != 0);
  return result;
}

int fdatasync(int fd) {
  struct Call call;
  OnFd(&call, kFdatasync, fd);
  const int result = REAL(fdatasync)(fd);
  Made(&call, result != 0);
  return result;
}

ssize_t write(int fd, const void* bytes, size_t size) {
  struct Call call;
  OnFd(&call, kWrite, fd);
  const ssize_t result = REAL(write)(fd, bytes, size);
  Made(&call, result < 0);
  return result;
}

ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset) {
  struct Call call;
  OnFd(&call, kWrite, fd);
  const ssize_t result = REAL(pwrite)(fd, bytes, size, offset);
  Made(&call, result < 0);
  return result;
}

ssize_t pwrite64(int fd, const void* bytes, size_t size, off64_t offset) {
  struct Call call;
  OnFd(&call, kWrite, fd);
  const ssize_t result = REAL(pwrite64)(fd, bytes, size, offset);
  Made(&call, result < 0);
  return result;
}

// Writes a file's data without a write: the log needs it to tell when the data last changed.
ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t size,
                        unsigned flags) {
  struct Call call;
  OnFd(&call, kCopy, out);
  const ssize_t result = REAL(copy_file_range)(in, in_offset, out, out_offset, size, flags);
  Made(&call, result < 0);
  return result;
}
