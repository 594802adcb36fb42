// The least work a rewrite of a tree takes on this machine, as a yardstick for sarvelt-cli.
//
// floor walks a folder and rewrites every file that holds the search text, as plainly as a
// rewrite through a new file can be done: each file opened, looked at (fstat), read whole and
// searched; a file with an occurrence is written into an unnamed file in its folder
// (O_TMPFILE), which is named and renamed over it. No order kept, no progress, no log, no
// flush. Options add the per-file work sarvelt-cli does besides, one by one:
//
//   -l      look at each file again by name before deciding (the last look)
//   -t      keep a rewritten file's time (read it by name, give it to the new file, set it
//           again after the rename)
//   -c      count the files first, in a pass over the whole tree
//   -g LOG  write a line per file and four per rewritten file to LOG, 64 KiB at a time
//   -k      close the replaced files on a thread of their own (freeing their blocks may wait
//           for the disk)
//   -p K/N  take only the top folder's entries whose index is K modulo N, so that N
//           processes share a tree without order
//
// Build: cc -O2 -o floor bench/floor.c -lpthread. bench/floor.sh times it against
// sarvelt-cli and a peer. Linux only.
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *search, *replace;
static size_t search_len, replace_len;
static int last_look, keep_time, count_first, close_apart, part, parts = 1;
static int log_fd = -1, closer_pipe[2];
static char *in, *out;
static size_t in_room, out_room;
static char log_buf[1 << 16];
static size_t log_used;
static long tmp_number;
static int failed;  // a file not rewritten: the exit status says so

static void log_line(const char *what, const char *name) {
    if (log_fd < 0) return;
    if (log_used + 4096 > sizeof log_buf) {
        if (write(log_fd, log_buf, log_used) < 0) perror("log");
        log_used = 0;
    }
    log_used += (size_t)snprintf(log_buf + log_used, sizeof log_buf - log_used,
                                 "%s: %s, a line of about the length of a log entry\n", what, name);
}

static void *closer(void *unused) {
    (void)unused;
    int fd;
    while (read(closer_pipe[0], &fd, sizeof fd) == (ssize_t)sizeof fd) close(fd);
    return NULL;
}

static int grow(char **buf, size_t *room, size_t need) {
    if (need <= *room) return 1;
    char *bigger = realloc(*buf, need);
    if (!bigger) return 0;
    *buf = bigger;
    *room = need;
    return 1;
}

// The folder's entries, sorted by name, without those starting with a dot (two processes
// sharing a tree with -p must see its top folder in the same order).
struct entry {
    char *name;
    unsigned char kind;
};
struct listing {
    struct entry *at;
    size_t n;
};

static int by_name(const void *a, const void *b) {
    return strcmp(((const struct entry *)a)->name, ((const struct entry *)b)->name);
}

static struct listing list(int dir) {
    struct listing l = {NULL, 0};
    DIR *d = fdopendir(dup(dir));  // the copy shares dir's offset: start from the top
    if (!d) return l;
    rewinddir(d);
    size_t room = 0;
    for (struct dirent *e; (e = readdir(d));) {
        if (e->d_name[0] == '.') continue;
        if (l.n == room) {
            room = room ? 2 * room : 32;
            l.at = realloc(l.at, room * sizeof *l.at);
        }
        l.at[l.n].name = strdup(e->d_name);
        l.at[l.n++].kind = e->d_type;
    }
    closedir(d);
    if (l.n) qsort(l.at, l.n, sizeof *l.at, by_name);
    return l;
}

static void forget(struct listing *l) {
    for (size_t i = 0; i < l->n; i++) free(l->at[i].name);
    free(l->at);
}

static long count(int dir) {
    struct listing l = list(dir);
    long n = 0;
    for (size_t i = 0; i < l.n; i++) {
        if (l.at[i].kind != DT_DIR) {
            n++;
            continue;
        }
        int sub = openat(dir, l.at[i].name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (sub >= 0) n += count(sub), close(sub);
    }
    forget(&l);
    return n;
}

static void rewrite(int dir, const char *name, const struct stat *st, size_t got) {
    size_t most = got + (got / search_len + 1) * replace_len;
    if (!grow(&out, &out_room, most)) {
        fprintf(stderr, "floor: no memory for %s\n", name);
        failed = 1;
        return;
    }
    size_t o = 0;
    const char *p = in, *end = in + got, *q;
    while ((q = memmem(p, (size_t)(end - p), search, search_len))) {
        memcpy(out + o, p, (size_t)(q - p));
        o += (size_t)(q - p);
        memcpy(out + o, replace, replace_len);
        o += replace_len;
        p = q + search_len;
    }
    memcpy(out + o, p, (size_t)(end - p));
    o += (size_t)(end - p);
    int t = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (t < 0 || write(t, out, o) != (ssize_t)o || fchmod(t, st->st_mode & 07777) != 0) {
        perror(name);
        if (t >= 0) close(t);
        failed = 1;
        return;
    }
    log_line("rewriting", name);
    struct timespec times[2] = {{0, UTIME_OMIT}, st->st_mtim};
    if (keep_time) {
        struct stat now;
        fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW);
        times[1] = now.st_mtim;
        futimens(t, times);
        log_line("time read", name);
    }
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%d.%ld.tmp", (int)getpid(), ++tmp_number);
    if (linkat(t, "", dir, tmp, AT_EMPTY_PATH) != 0) {
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", t);
        if (linkat(AT_FDCWD, proc, dir, tmp, AT_SYMLINK_FOLLOW) != 0) {
            perror(name);
            close(t);
            failed = 1;
            return;
        }
    }
    if (renameat(dir, tmp, dir, name) != 0) {
        perror(name);
        unlinkat(dir, tmp, 0);  // the file stays as it was, and no temporary file is left
        close(t);
        failed = 1;
        return;
    }
    if (keep_time) utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW), log_line("time set", name);
    log_line("rewritten", name);
    close(t);
}

static void walk(int dir, int depth) {
    struct listing l = list(dir);
    for (size_t i = 0; i < l.n; i++) {
        if (depth == 0 && (int)(i % (size_t)parts) != part) continue;
        const char *name = l.at[i].name;
        if (l.at[i].kind == DT_DIR) {
            int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0) walk(sub, depth + 1), close(sub);
            continue;
        }
        int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            perror(name);
            if (fd >= 0) close(fd);
            failed = 1;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        ssize_t got = grow(&in, &in_room, (size_t)st.st_size + 1)
                          ? read(fd, in, (size_t)st.st_size + 1)
                          : -1;
        if (got < 0) {
            perror(name);
            close(fd);
            failed = 1;
            continue;
        }
        if (last_look) {
            struct stat again;
            fstatat(dir, name, &again, AT_SYMLINK_NOFOLLOW);
        }
        log_line("file", name);
        if (got > 0 && memmem(in, (size_t)got, search, search_len)) {
            rewrite(dir, name, &st, (size_t)got);
            if (close_apart) {
                if (write(closer_pipe[1], &fd, sizeof fd) == (ssize_t)sizeof fd) continue;
            }
        }
        close(fd);
    }
    forget(&l);
}

int main(int argc, char **argv) {
    int opt;
    while ((opt = getopt(argc, argv, "ltcg:kp:")) != -1) {
        switch (opt) {
        case 'l': last_look = 1; break;
        case 't': keep_time = 1; break;
        case 'c': count_first = 1; break;
        case 'g':
            log_fd = open(optarg, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (log_fd < 0) {
                perror(optarg);
                return 1;
            }
            break;
        case 'k': close_apart = 1; break;
        case 'p':
            if (sscanf(optarg, "%d/%d", &part, &parts) != 2 || parts < 1 || part < 0 ||
                part >= parts) {
                fprintf(stderr, "floor: -p K/N with 0 <= K < N\n");
                return 2;
            }
            break;
        default: return 2;
        }
    }
    if (argc - optind != 3 || !argv[optind + 1][0]) {
        fprintf(stderr, "usage: floor [-l] [-t] [-c] [-g LOG] [-k] [-p K/N] DIR SEARCH REPLACE\n");
        return 2;
    }
    search = argv[optind + 1];
    replace = argv[optind + 2];
    search_len = strlen(search);
    replace_len = strlen(replace);
    int root = open(argv[optind], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        perror(argv[optind]);
        return 1;
    }
    pthread_t closing;
    if (close_apart && (pipe(closer_pipe) != 0 || pthread_create(&closing, NULL, closer, NULL))) {
        perror("closer");
        return 1;
    }
    if (count_first) count(root);
    walk(root, 0);
    if (log_fd >= 0 && log_used && write(log_fd, log_buf, log_used) < 0) perror("log");
    if (close_apart) close(closer_pipe[1]), pthread_join(closing, NULL);
    return failed;
}
