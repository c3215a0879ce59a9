/* Runs one command as a whole process and prints its wall time in seconds, its peak resident
 * set (KiB, from wait4, the figure /usr/bin/time -v reports as "Maximum resident set size") and
 * the CPU time (user + system seconds) it and the children it waited for took:
 * "SECONDS MAXRSS_KIB CPU_SECONDS". On a machine others load, the CPU time is the steadier
 * figure. Its stdout and stderr go to /dev/null. Exits 1 when the
 * command fails, so a failing run is never counted.
 *   benchtime COMMAND [ARGS...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return 1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "benchtime: %s failed (status %d)\n", argv[1], status);
        return 1;
    }
    const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("%.6f %ld %.6f\n",
           (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9,
           usage.ru_maxrss, cpu);
    return 0;
}
