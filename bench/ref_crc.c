/* The reference for `info`'s whole-file CRC-32: the same routine core uses (ISA-L's
 * crc32_gzip_refl) run once over the file mapped into memory, no copy. Prints the CRC-32 in
 * hex, so a run can be checked against `info`.
 *   ref_crc FILE */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <isa-l/crc.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        perror(argv[1]);
        return 1;
    }
    uint32_t crc = 0;
    if (st.st_size > 0) {
        const size_t size = (size_t)st.st_size;
        unsigned char* p = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            perror("mmap");
            return 1;
        }
        madvise(p, size, MADV_SEQUENTIAL);
        crc = crc32_gzip_refl(0, p, size);
        munmap(p, size);
    }
    close(fd);
    printf("%08X\n", crc);
    return 0;
}
