/* The reference for `build`: a plain C loop that writes every file the layout names at its
 * offset with copy_file_range (and the fills with pwrite), nothing checked, nothing else.
 *   ref_build TREE OUT [--stat]
 * --stat adds one fstat a file: what finding edited files by size and time, and checking each
 * layout file's type and size, cost at the least (shown beside the goal, not a goal).
 * Reads TREE.layout/layout.json line by line (one region or run a line, as extract writes it;
 * plain names only, which is what gen_image's trees have). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long long number(const char* line, const char* key)
{
    const char* at = strstr(line, key);
    return at ? atoll(at + strlen(key)) : -1;
}

static int text(const char* line, const char* key, char* out, size_t room)
{
    const char* at = strstr(line, key);
    if (!at)
        return 0;
    at += strlen(key);
    const char* end = strchr(at, '"');
    if (!end || (size_t)(end - at) >= room)
        return 0;
    memcpy(out, at, (size_t)(end - at));
    out[end - at] = 0;
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && strcmp(argv[3], "--stat") == 0))
        return 2;
    const int withStat = argc == 4;
    char layout[4096], path[8192], name[4096];
    snprintf(layout, sizeof layout, "%s.layout", argv[1]);
    snprintf(path, sizeof path, "%s/layout.json", layout);
    FILE* in = fopen(path, "r");
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!in || out < 0)
        return 1;
    char* line = NULL;
    size_t cap = 0;
    static unsigned char fill[1 << 20];
    int filled = -1; /* the value `fill` holds: set again only when it changes */
    while (getline(&line, &cap, in) > 0) {
        long long size = number(line, "\"imageSize\": ");
        if (size >= 0 && ftruncate(out, size) != 0)
            return 1;
        const long long offset = number(line, "\"offset\": ");
        size = number(line, "\"size\": ");
        if (offset < 0 || size < 0)
            continue;
        const long long value = number(line, "\"fill\": ");
        if (value >= 0) {
            if (value != filled) {
                memset(fill, (int)value, sizeof fill);
                filled = (int)value;
            }
            for (long long done = 0; done < size;) {
                const size_t want =
                    size - done < (long long)sizeof fill ? (size_t)(size - done) : sizeof fill;
                const ssize_t n = pwrite(out, fill, want, offset + done);
                if (n <= 0)
                    return 1;
                done += n;
            }
            continue;
        }
        const int inLayout = strstr(line, "\"kind\": \"fnt\"") || strstr(line, "\"kind\": \"fat\"");
        if (text(line, "\"path\": \"", name, sizeof name))
            snprintf(path, sizeof path, "%s/%s", inLayout ? layout : argv[1], name);
        else if (text(line, "\"file\": \"", name, sizeof name))
            snprintf(path, sizeof path, "%s/%s", layout, name);
        else
            continue;
        const int fd = open(path, O_RDONLY);
        if (fd < 0)
            return 1;
        struct stat st;
        if (withStat && fstat(fd, &st) != 0)
            return 1;
        loff_t from = 0, to = offset;
        for (long long left = size; left > 0;) {
            const ssize_t n = copy_file_range(fd, &from, out, &to, (size_t)left, 0);
            if (n <= 0)
                return 1;
            left -= n;
        }
        close(fd);
    }
    free(line);
    fclose(in);
    return close(out) != 0;
}
