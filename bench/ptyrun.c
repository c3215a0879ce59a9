/* Runs a command with its stderr on a pseudo-terminal (as in an interactive shell) or on
 * /dev/null, stdout on /dev/null either way; the terminal's output is read and dropped. Both
 * modes go through this same wrapper, so the comparison is the terminal alone.
 *   ptyrun pty|null COMMAND [ARGS...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const int usePty = strcmp(argv[1], "pty") == 0;
    int master = -1, slave = -1;
    if (usePty && openpty(&master, &slave, NULL, NULL, NULL) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(usePty ? slave : null, 2);
        if (usePty) {
            close(master);
            close(slave);
        }
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    if (usePty) {
        close(slave);
        char buf[65536];
        while (read(master, buf, sizeof buf) > 0) {
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
