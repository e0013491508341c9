/* Runs one program and reports what it cost: when it was exec'd, when its
 * first line and its last output came, when it ended, its CPU time and its
 * peak resident memory.
 *
 * A separate, small, static launcher because the kernel counts the memory a
 * process had before its exec into its peak: a child forked by the bench's
 * Python interpreter would report the interpreter's megabytes, not its own.
 * The child forked here brings a few pages at most.
 *
 *   launcher [--pty] [--output FILE] [--stop-after-line] -- PROGRAM ARG...
 *
 * Standard output and error of PROGRAM go to FILE (or /dev/null), or with
 * --pty to a new terminal whose every byte is copied to FILE: programs buffer
 * their output fully towards a file and only by line towards a terminal.
 * --stop-after-line kills the program once its first line came. Prints one
 * line: "exec_ns= first_line_ns= last_output_ns= exit_ns= status= signal=
 * user_us= system_us= max_rss_kb=", times on CLOCK_MONOTONIC, -1 where
 * nothing came.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

struct options {
    int pty;
    int stop_after_line;
    const char *output;
    char **program;
};

struct outcome {
    int64_t exec_ns, first_line_ns, last_output_ns, exit_ns;
};

static int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void usage(void) {
    fputs("usage: launcher [--pty] [--output FILE] [--stop-after-line] -- PROGRAM ARG...\n", stderr);
    exit(2);
}

static struct options parse_options(int argc, char **argv) {
    struct options options = {0, 0, "/dev/null", NULL};
    int index = 1;
    for (; index < argc && strcmp(argv[index], "--") != 0; ++index) {
        if (strcmp(argv[index], "--pty") == 0) options.pty = 1;
        else if (strcmp(argv[index], "--stop-after-line") == 0) options.stop_after_line = 1;
        else if (strcmp(argv[index], "--output") == 0 && index + 1 < argc) options.output = argv[++index];
        else usage();
    }
    if (index + 1 >= argc) usage();
    options.program = argv + index + 1;
    return options;
}

static void fail(const char *what) {
    perror(what);
    exit(1);
}

/* A terminal that passes bytes unchanged, so the copy is what was written.
 * Its slave stays open here until the child has its own: reading a master
 * whose slave nobody holds fails at once. */
static int open_terminal(char *slave_name, size_t size, int *slave) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fail("pty");
    if (ptsname_r(master, slave_name, size) != 0) fail("ptsname");
    *slave = open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0) fail("open pty");
    struct termios settings;
    if (tcgetattr(*slave, &settings) != 0) fail("tcgetattr");
    cfmakeraw(&settings);
    tcsetattr(*slave, TCSANOW, &settings);
    return master;
}

/* In the child: only async-signal-safe calls between fork and exec. */
static void run_child(const struct options *options, const char *slave_name, int output, int clock_pipe) {
    int devnull = open("/dev/null", O_RDWR);
    if (options->pty) {
        setsid();
        int slave = open(slave_name, O_RDWR); /* becomes the controlling terminal */
        if (slave < 0) _exit(126);
        dup2(slave, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        close(slave);
    } else {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
    }
    dup2(devnull, STDIN_FILENO);
    int64_t exec_ns = monotonic_ns();
    if (write(clock_pipe, &exec_ns, sizeof exec_ns) != (ssize_t)sizeof exec_ns) _exit(126);
    execv(options->program[0], options->program);
    _exit(127);
}

/* Copies the terminal's bytes to the output file until the program has
 * closed it, noting when its first line and its last bytes came. */
static void copy_terminal(int master, int output, pid_t child, int stop_after_line, struct outcome *outcome) {
    char buffer[4096];
    for (;;) {
        struct pollfd watched = {master, POLLIN, 0};
        if (poll(&watched, 1, -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
        }
        ssize_t length = read(master, buffer, sizeof buffer);
        int64_t now = monotonic_ns();
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) return; /* EIO: every writer has gone */
        outcome->last_output_ns = now;
        if (write(output, buffer, (size_t)length) != length) fail("write output");
        if (outcome->first_line_ns < 0 && memchr(buffer, '\n', (size_t)length) != NULL) {
            outcome->first_line_ns = now;
            if (stop_after_line) kill(child, SIGKILL);
        }
    }
}

int main(int argc, char **argv) {
    struct options options = parse_options(argc, argv);
    struct outcome outcome = {-1, -1, -1, -1};
    int output = open(options.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) fail(options.output);
    char slave_name[128] = "";
    int slave = -1;
    int master = options.pty ? open_terminal(slave_name, sizeof slave_name, &slave) : -1;
    int clock_pipe[2];
    if (pipe2(clock_pipe, O_CLOEXEC) != 0) fail("pipe");

    pid_t child = fork();
    if (child < 0) fail("fork");
    if (child == 0) run_child(&options, slave_name, output, clock_pipe[1]);
    close(clock_pipe[1]);
    /* The child sends its clock reading right before the exec, when it holds the terminal already. */
    if (read(clock_pipe[0], &outcome.exec_ns, sizeof outcome.exec_ns) != (ssize_t)sizeof outcome.exec_ns) {
        outcome.exec_ns = -1;
    }
    if (options.pty) {
        close(slave);
        copy_terminal(master, output, child, options.stop_after_line, &outcome);
    }

    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) fail("wait4");
    }
    outcome.exit_ns = monotonic_ns();
    printf("exec_ns=%lld first_line_ns=%lld last_output_ns=%lld exit_ns=%lld status=%d signal=%d user_us=%lld "
           "system_us=%lld max_rss_kb=%ld\n",
           (long long)outcome.exec_ns, (long long)outcome.first_line_ns, (long long)outcome.last_output_ns,
           (long long)outcome.exit_ns, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
           WIFSIGNALED(status) ? WTERMSIG(status) : 0,
           (long long)usage.ru_utime.tv_sec * 1000000 + usage.ru_utime.tv_usec,
           (long long)usage.ru_stime.tv_sec * 1000000 + usage.ru_stime.tv_usec, usage.ru_maxrss);
    return 0;
}
