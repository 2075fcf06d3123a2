// A preloaded library (LD_PRELOAD) that makes one chosen file-system call of a program fail, the
// way a failing disk would, underneath every layer of the program and of the libraries it uses
// (SQLite included), where no test hook reaches.
//
// Only calls on paths under OAKENMERE_FAULT_ROOT count, so the dynamic loader, locale data and
// the terminal are left alone. The environment chooses what happens:
//   OAKENMERE_FAULT=KIND:N:ERROR   the Nth call of KIND fails with ERROR; "KIND:N:ERROR+" fails
//                                  the Nth and every later one (a full disk stays full)
//     KIND  open write read fsync rename link unlink mkdir flock
//     ERROR EIO ENOSPC EDQUOT EACCES EROFS EINTR short (a write or read that moves half)
//   OAKENMERE_FAULT_MATCH=PATTERN   then only calls on paths PATTERN matches (fnmatch, where "*"
//                                  matches "/" too) count towards N
//   OAKENMERE_FAULT_LOG=FILE       appends "fault KIND N ERROR PATH" when the fault fires and
//                                  "count KIND N" for every kind when the program exits
//   OAKENMERE_FAULT_TRACE=FILE     appends "KIND<TAB>CALL<TAB>PATH<TAB>PATH2<TAB>RESULT" per call
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum kind { OPEN, WRITE, READ, FSYNC, RENAME, LINK, UNLINK, MKDIR, FLOCK, KINDS };
static const char* const kind_names[KINDS] = {"open", "write", "read", "fsync", "rename", "link", "unlink", "mkdir", "flock"};

enum { SHORT = -1 };
static const struct {
    const char* name;
    int value;
} errors[] = {{"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EACCES", EACCES},
              {"EROFS", EROFS}, {"EINTR", EINTR},   {"short", SHORT}};

static char root[PATH_MAX];
static size_t root_length;
static int fault_kind = -1;
static long fault_at;
static int fault_error;
static int fault_sticky;
static const char* fault_match;
static atomic_long matched;
static const char* log_path;
static const char* trace_path;
static atomic_long counts[KINDS];

#define REAL(name) ((__typeof__(&name))real_symbol(#name))

static void* real_symbol(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == NULL) abort();
    return symbol;
}

// Appends one line with a single write, so lines from several threads never interleave.
static void append_line(const char* file, const char* line) {
    static int (*real_open)(const char*, int, ...);
    static ssize_t (*real_write)(int, const void*, size_t);
    if (real_open == NULL) real_open = real_symbol("open");
    if (real_write == NULL) real_write = real_symbol("write");
    const int fd = real_open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (real_write(fd, line, strlen(line)) < 0) { /* nothing more can be said */
    }
    close(fd);
}

__attribute__((constructor)) static void configure(void) {
    const char* given_root = getenv("OAKENMERE_FAULT_ROOT");
    if (given_root == NULL || realpath(given_root, root) == NULL) return;
    root_length = strlen(root);
    log_path = getenv("OAKENMERE_FAULT_LOG");
    trace_path = getenv("OAKENMERE_FAULT_TRACE");
    fault_match = getenv("OAKENMERE_FAULT_MATCH");
    const char* fault = getenv("OAKENMERE_FAULT");
    if (fault == NULL || *fault == '\0') return;
    char kind[16], error[16];
    if (sscanf(fault, "%15[a-z]:%ld:%15[A-Za-z]", kind, &fault_at, error) != 3) abort();
    fault_sticky = fault[strlen(fault) - 1] == '+';
    for (int k = 0; k < KINDS; ++k)
        if (strcmp(kind, kind_names[k]) == 0) fault_kind = k;
    int known = 0;
    for (size_t e = 0; e < sizeof errors / sizeof errors[0]; ++e)
        if (strcmp(error, errors[e].name) == 0) fault_error = errors[e].value, known = 1;
    if (fault_kind < 0 || !known || fault_at < 1) abort();
}

__attribute__((destructor)) static void report_counts(void) {
    if (log_path == NULL) return;
    for (int k = 0; k < KINDS; ++k) {
        char line[64];
        snprintf(line, sizeof line, "count %s %ld\n", kind_names[k], atomic_load(&counts[k]));
        append_line(log_path, line);
    }
}

static void path_of_descriptor(int fd, char* out) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, out, PATH_MAX - 1);
    out[length < 0 ? 0 : length] = '\0';
}

static void path_at(int folder, const char* path, char* out) {
    if (path == NULL) {
        out[0] = '\0';
        return;
    }
    if (path[0] == '/') {
        snprintf(out, PATH_MAX, "%s", path);
        return;
    }
    char base[PATH_MAX];
    if (folder == AT_FDCWD) {
        if (getcwd(base, sizeof base) == NULL) base[0] = '\0';
    } else {
        path_of_descriptor(folder, base);
    }
    // Joined by hand: a path longer than PATH_MAX is cut, which only makes it count as elsewhere.
    size_t length = strlen(base);
    memcpy(out, base, length);
    if (path[0] != '\0' && length + 1 < PATH_MAX) out[length++] = '/';
    for (const char* c = path; *c != '\0' && length + 1 < PATH_MAX; ++c) out[length++] = *c;
    out[length] = '\0';
}

static int under_root(const char* path) {
    return root_length > 0 && strncmp(path, root, root_length) == 0 && (path[root_length] == '/' || path[root_length] == '\0');
}

// Counts a call on `path` and answers the error it must fail with: 0 to make it as it stands.
static int injected(enum kind kind, const char* call, const char* path, const char* path2) {
    if (!under_root(path) && !(path2 != NULL && under_root(path2))) return 0;
    const long n = atomic_fetch_add(&counts[kind], 1) + 1;
    if (trace_path != NULL) {
        char line[2 * PATH_MAX + 64];
        snprintf(line, sizeof line, "%s\t%s\t%s\t%s\n", kind_names[kind], call, path, path2 ? path2 : "");
        append_line(trace_path, line);
    }
    if ((int)kind != fault_kind) return 0;
    long at = n;
    if (fault_match != NULL) {
        if (fnmatch(fault_match, path, 0) != 0 && !(path2 != NULL && fnmatch(fault_match, path2, 0) == 0)) return 0;
        at = atomic_fetch_add(&matched, 1) + 1;
    }
    if (at < fault_at || (at > fault_at && !fault_sticky)) return 0;
    if (log_path != NULL) {
        char line[PATH_MAX + 64];
        const char* name = "short";
        for (size_t e = 0; e < sizeof errors / sizeof errors[0]; ++e)
            if (errors[e].value == fault_error) name = errors[e].name;
        snprintf(line, sizeof line, "fault %s %ld %s %s\n", kind_names[kind], n, name, path);
        append_line(log_path, line);
    }
    return fault_error;
}

// The error for a call on descriptor `fd`; a short transfer is the caller's to make.
static int injected_on(enum kind kind, const char* call, int fd) {
    if (root_length == 0) return 0;
    char path[PATH_MAX];
    path_of_descriptor(fd, path);
    return injected(kind, call, path, NULL);
}

static int injected_at(enum kind kind, const char* call, int folder, const char* path, int folder2, const char* path2) {
    if (root_length == 0) return 0;
    char first[PATH_MAX], second[PATH_MAX];
    path_at(folder, path, first);
    if (path2 != NULL) path_at(folder2, path2, second);
    return injected(kind, call, first, path2 != NULL ? second : NULL);
}

#define FAIL_WITH(error) \
    do {                 \
        errno = (error); \
        return -1;       \
    } while (0)

// Calls that move bytes: a short transfer moves half of them (all of a single byte).
#define TRANSFER(kind, call, fd, size, make)           \
    do {                                               \
        const int error = injected_on(kind, call, fd); \
        if (error > 0) FAIL_WITH(error);               \
        if (error == SHORT && size > 1) size /= 2;     \
        return make;                                   \
    } while (0)

static int creates(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

#define OPEN_CALL(call, folder, path, flags, make)                        \
    do {                                                                  \
        const int error = injected_at(OPEN, call, folder, path, 0, NULL); \
        if (error > 0) FAIL_WITH(error);                                  \
        return make;                                                      \
    } while (0)

// The mode that follows `flags` when the call creates a file.
#define TAKE_MODE(flags)                  \
    mode_t mode = 0;                      \
    if (creates(flags)) {                 \
        va_list arguments;                \
        va_start(arguments, flags);       \
        mode = va_arg(arguments, mode_t); \
        va_end(arguments);                \
    }

int open(const char* path, int flags, ...) {
    TAKE_MODE(flags);
    OPEN_CALL("open", AT_FDCWD, path, flags, REAL(open)(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    TAKE_MODE(flags);
    OPEN_CALL("open64", AT_FDCWD, path, flags, REAL(open64)(path, flags, mode));
}

int openat(int folder, const char* path, int flags, ...) {
    TAKE_MODE(flags);
    OPEN_CALL("openat", folder, path, flags, REAL(openat)(folder, path, flags, mode));
}

int openat64(int folder, const char* path, int flags, ...) {
    TAKE_MODE(flags);
    OPEN_CALL("openat64", folder, path, flags, REAL(openat64)(folder, path, flags, mode));
}

// openat2 has no C library wrapper: programs reach it through syscall().
long syscall(long number, ...) {
    va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(arguments, long);
    va_end(arguments);
    static long (*real)(long, ...);
    if (real == NULL) real = real_symbol("syscall");
#ifdef SYS_openat2
    if (number == SYS_openat2) {
        const int error = injected_at(OPEN, "openat2", (int)a[0], (const char*)a[1], 0, NULL);
        if (error > 0) FAIL_WITH(error);
    }
#endif
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

ssize_t read(int fd, void* buffer, size_t size) { TRANSFER(READ, "read", fd, size, REAL(read)(fd, buffer, size)); }
ssize_t pread(int fd, void* buffer, size_t size, off_t offset) { TRANSFER(READ, "pread", fd, size, REAL(pread)(fd, buffer, size, offset)); }
ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
    TRANSFER(READ, "pread64", fd, size, REAL(pread64)(fd, buffer, size, offset));
}
ssize_t write(int fd, const void* bytes, size_t size) { TRANSFER(WRITE, "write", fd, size, REAL(write)(fd, bytes, size)); }
ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset) {
    TRANSFER(WRITE, "pwrite", fd, size, REAL(pwrite)(fd, bytes, size, offset));
}
ssize_t pwrite64(int fd, const void* bytes, size_t size, off64_t offset) {
    TRANSFER(WRITE, "pwrite64", fd, size, REAL(pwrite64)(fd, bytes, size, offset));
}

#define DESCRIPTOR_CALL(kind, call, fd, make)          \
    do {                                               \
        const int error = injected_on(kind, call, fd); \
        if (error > 0) FAIL_WITH(error);               \
        return make;                                   \
    } while (0)

int fsync(int fd) { DESCRIPTOR_CALL(FSYNC, "fsync", fd, REAL(fsync)(fd)); }
int fdatasync(int fd) { DESCRIPTOR_CALL(FSYNC, "fdatasync", fd, REAL(fdatasync)(fd)); }
int syncfs(int fd) { DESCRIPTOR_CALL(FSYNC, "syncfs", fd, REAL(syncfs)(fd)); }
int flock(int fd, int operation) { DESCRIPTOR_CALL(FLOCK, "flock", fd, REAL(flock)(fd, operation)); }

#define PATH_CALL(kind, call, folder, path, folder2, path2, make)                \
    do {                                                                         \
        const int error = injected_at(kind, call, folder, path, folder2, path2); \
        if (error > 0) FAIL_WITH(error);                                         \
        return make;                                                             \
    } while (0)

int rename(const char* from, const char* to) { PATH_CALL(RENAME, "rename", AT_FDCWD, from, AT_FDCWD, to, REAL(rename)(from, to)); }
int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    PATH_CALL(RENAME, "renameat", fromFolder, from, toFolder, to, REAL(renameat)(fromFolder, from, toFolder, to));
}
int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    PATH_CALL(RENAME, "renameat2", fromFolder, from, toFolder, to, REAL(renameat2)(fromFolder, from, toFolder, to, flags));
}
int link(const char* from, const char* to) { PATH_CALL(LINK, "link", AT_FDCWD, from, AT_FDCWD, to, REAL(link)(from, to)); }
int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    PATH_CALL(LINK, "linkat", fromFolder, from, toFolder, to, REAL(linkat)(fromFolder, from, toFolder, to, flags));
}
int unlink(const char* path) { PATH_CALL(UNLINK, "unlink", AT_FDCWD, path, 0, NULL, REAL(unlink)(path)); }
int unlinkat(int folder, const char* path, int flags) {
    PATH_CALL(UNLINK, "unlinkat", folder, path, 0, NULL, REAL(unlinkat)(folder, path, flags));
}
int rmdir(const char* path) { PATH_CALL(UNLINK, "rmdir", AT_FDCWD, path, 0, NULL, REAL(rmdir)(path)); }
int mkdir(const char* path, mode_t mode) { PATH_CALL(MKDIR, "mkdir", AT_FDCWD, path, 0, NULL, REAL(mkdir)(path, mode)); }
int mkdirat(int folder, const char* path, mode_t mode) {
    PATH_CALL(MKDIR, "mkdirat", folder, path, 0, NULL, REAL(mkdirat)(folder, path, mode));
}
