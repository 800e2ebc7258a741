/*
 * measure: run a command and report its exit status, wall time, CPU time and peak
 * resident memory, as reported by the kernel for that one child.
 *
 *   measure [-q] [-m] [-t SECONDS] [-p COUNT] [-s NANOS] -- COMMAND [ARG]...
 *
 *   -q          the child's stdin, stdout and stderr go to /dev/null
 *   -m          also read the child's exact peak RSS (VmHWM in /proc/PID/status) at
 *               the moment it exits, by tracing it (ptrace, exit and exec events only); the
 *               trace stops add a little wall time, so time and memory are best taken
 *               in separate runs. Not with -p.
 *   -t SECONDS  hard limit for the whole measurement (default 60, at most 600): a
 *               child still running then is killed with SIGKILL and reported as such
 *   -p COUNT    start COUNT copies at once (1 to 1000) and report each of them
 *   -s NANOS    set the child's timer slack (prctl PR_SET_TIMERSLACK, inherited across
 *               exec) before exec; without it the child keeps the default (50 us)
 *
 * One line per child on stdout:
 *
 *   INDEX STATUS WALL_US USER_US SYS_US MAXRSS_KIB HWM_KIB
 *
 * STATUS is the exit status, or 128 + signal number when the child was killed by a
 * signal (137 after the time limit). WALL_US is CLOCK_MONOTONIC microseconds from just
 * before fork() to the return of the wait4() that reaped the child, so it includes the
 * fork and exec of the child. USER_US, SYS_US and MAXRSS_KIB are the child's rusage
 * from wait4(). HWM_KIB is VmHWM at exit with -m, else -1.
 *
 * USER_US + SYS_US is exact (the scheduler's run time); the split between the two is
 * derived from tick samples, so a run of a millisecond or so often shows all of it as
 * user time.
 *
 * MAXRSS_KIB can read low: since Linux 6.2 the RSS counters are per-CPU and the exit
 * path reads them without summing, so ru_maxrss may miss a few dozen pages (seen here:
 * 948 KiB against a VmHWM of 1128 KiB for the same run). /proc/PID/status sums them.
 *
 * Why a C program and not a Python one: at exec() Linux folds the peak RSS of the
 * address space being replaced into the child's ru_maxrss. A child forked from a
 * Python interpreter therefore reports at least the interpreter's anonymous memory
 * (several MiB). This helper is built static and small, so what it leaves behind in a
 * child before exec is a few tens of KiB; peers.sh reports that floor by measuring
 * /bin/true and a static no-op.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_CHILDREN 1000

static volatile sig_atomic_t timed_out = 0;

static void on_alarm(int sig) {
    (void)sig;
    timed_out = 1;
}

static long long now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static long long tv_us(struct timeval tv) { return (long long)tv.tv_sec * 1000000LL + tv.tv_usec; }

static void usage(void) {
    fprintf(stderr, "usage: measure [-q] [-m] [-t SECONDS] [-p COUNT] [-s NANOS] -- COMMAND [ARG]...\n");
    exit(2);
}

/* VmHWM of a process in KiB, or -1. */
static long read_hwm(pid_t pid) {
    char path[64];
    char line[256];
    long value = -1;
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *file = fopen(path, "r");
    if (file == NULL) return -1;
    while (fgets(line, sizeof line, file) != NULL) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            value = strtol(line + 6, NULL, 10);
            break;
        }
    }
    fclose(file);
    return value;
}

struct child {
    pid_t pid;
    long long start_us;
    long hwm_kib;
    int reaped;
};

static struct child children[MAX_CHILDREN];

int main(int argc, char **argv) {
    int quiet = 0;
    int trace = 0;
    long limit = 60;
    long count = 1;
    long slack = 0;
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else if (strcmp(argv[i], "-q") == 0) {
            quiet = 1;
        } else if (strcmp(argv[i], "-m") == 0) {
            trace = 1;
        } else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
            limit = strtol(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            slack = strtol(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            count = strtol(argv[++i], NULL, 10);
        } else {
            usage();
        }
    }
    if (i >= argc || limit < 1 || limit > 600 || count < 1 || count > MAX_CHILDREN || slack < 0 ||
        (trace && count != 1))
        usage();
    char **command = argv + i;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm; /* no SA_RESTART: wait4() returns EINTR at the limit */
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    alarm((unsigned)limit);

    long started = 0;
    for (long n = 0; n < count && !timed_out; ++n) {
        children[n].start_us = now_us();
        children[n].hwm_kib = -1;
        pid_t pid = fork();
        if (pid < 0) {
            perror("measure: fork");
            break;
        }
        if (pid == 0) {
            if (slack > 0) prctl(PR_SET_TIMERSLACK, (unsigned long)slack, 0, 0, 0);
            if (quiet) {
                int fd = open("/dev/null", O_RDWR);
                if (fd >= 0) {
                    dup2(fd, 0);
                    dup2(fd, 1);
                    dup2(fd, 2);
                    if (fd > 2) close(fd);
                }
            }
            if (trace && ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(126);
            execvp(command[0], command);
            _exit(127);
        }
        children[n].pid = pid;
        started = n + 1;
    }

    int failed = started < count;
    int traced_started = 0; /* the post-exec stop of a traced child has been seen */
    long remaining = started;
    while (remaining > 0) {
        int status = 0;
        struct rusage usage_info;
        pid_t pid = wait4(-1, &status, 0, &usage_info);
        long long end = now_us();
        if (pid < 0) {
            if (errno == EINTR && timed_out) {
                for (long n = 0; n < started; ++n)
                    if (!children[n].reaped) kill(children[n].pid, SIGKILL);
                continue;
            }
            if (errno == EINTR) continue;
            perror("measure: wait4");
            return 3;
        }
        long n = 0;
        while (n < started && children[n].pid != pid) ++n;
        if (n == started) continue;
        if (WIFSTOPPED(status)) {
            /* Only a traced child stops. */
            int sig = WSTOPSIG(status);
            int deliver = 0;
            if (!traced_started && sig == SIGTRAP) {
                traced_started = 1;
                ptrace(PTRACE_SETOPTIONS, pid, NULL,
                       (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
            } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
                /* A program that hands its run to another (pelldor check --nts): the
                   peak read at exit is then the last program's. */
            } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
                children[n].hwm_kib = read_hwm(pid);
            } else {
                deliver = sig;
            }
            ptrace(PTRACE_CONT, pid, NULL, (void *)(long)deliver);
            continue;
        }
        children[n].reaped = 1;
        --remaining;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        printf("%ld %d %lld %lld %lld %ld %ld\n", n, code, end - children[n].start_us,
               tv_us(usage_info.ru_utime), tv_us(usage_info.ru_stime), usage_info.ru_maxrss,
               children[n].hwm_kib);
    }
    fflush(stdout);
    if (timed_out) fprintf(stderr, "measure: time limit of %ld s reached\n", limit);
    return failed ? 4 : 0;
}
