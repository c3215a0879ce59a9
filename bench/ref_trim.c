/* The references for `trim` and `pad`: the plain C loop doing only the copy.
 *   ref_trim trim IN OUT USED     the first USED bytes copied by the kernel (copy_file_range),
 *                                 then the rest of IN read (trim checks the bytes it cuts)
 *   ref_trim pad IN OUT SIZE BYTE IN copied by the kernel, then BYTE written up to SIZE bytes
 *                                 in 1 MiB blocks */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int copyRange(int in, int out, uint64_t length)
{
    while (length > 0) {
        const ssize_t n = copy_file_range(in, NULL, out, NULL, length > (1u << 30) ? (1u << 30) : length, 0);
        if (n <= 0)
            return -1;
        length -= (uint64_t)n;
    }
    return 0;
}

int main(int argc, char** argv)
{
    static unsigned char block[1 << 20];
    if (argc < 5)
        return 2;
    const int in = open(argv[2], O_RDONLY | O_CLOEXEC);
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    struct stat st;
    if (in < 0 || out < 0 || fstat(in, &st) != 0) {
        perror("open");
        return 1;
    }
    if (strcmp(argv[1], "trim") == 0) {
        const uint64_t used = strtoull(argv[4], NULL, 0);
        if (copyRange(in, out, used) != 0) {
            perror("copy_file_range");
            return 1;
        }
        for (off_t at = (off_t)used; at < st.st_size;) {
            const ssize_t n = pread(in, block, sizeof block, at);
            if (n <= 0)
                return 1;
            at += n;
        }
    } else if (strcmp(argv[1], "pad") == 0 && argc == 6) {
        const uint64_t size = strtoull(argv[4], NULL, 0);
        memset(block, (int)strtoul(argv[5], NULL, 0), sizeof block);
        if (copyRange(in, out, (uint64_t)st.st_size) != 0) {
            perror("copy_file_range");
            return 1;
        }
        for (uint64_t at = (uint64_t)st.st_size; at < size;) {
            const size_t want = size - at < sizeof block ? (size_t)(size - at) : sizeof block;
            const ssize_t n = write(out, block, want);
            if (n <= 0)
                return 1;
            at += (uint64_t)n;
        }
    } else {
        return 2;
    }
    return close(out) == 0 ? 0 : 1;
}
