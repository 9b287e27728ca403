/* The least a safe conversion can cost: only the system calls it needs.
 * Reads the source into a buffer behind the header's room, frames it, writes
 * a new file beside the target, syncs it, renames it over the target, prints
 * a report of REPORT_BYTES bytes and reads one byte of standard input. With
 * `sync`, it syncs the file again and then the folder after the rename, as a
 * replacement that outlives a power cut on every file system must (btrfs
 * writes a file's data on a sync only while the file has its name). With
 * IMAGE after `sync`, it then reads IMAGE whole and replaces it the same
 * way with a file of the same bytes: the least --onto IMAGE can cost.
 * Usage: floor SOURCE TARGET REPORT_BYTES [sync [IMAGE]] */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned char image[65545];
static char report[8192];
static unsigned char disk[4 << 20];

/* Replaces `path` with a new file of `size` bytes of `bytes`, synced as TARGET is. */
static int replace(const char *path, const unsigned char *bytes, size_t size) {
    char pending[4096];
    snprintf(pending, sizeof pending, "%s.floor", path);
    const int file = open(pending, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (write(file, bytes, size) != (ssize_t)size || fsync(file) != 0 || rename(pending, path) != 0 ||
        fsync(file) != 0 || fsync(folder) != 0) {
        return 1;
    }
    close(folder);
    close(file);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4 || argc > 6) {
        return 2;
    }
    const int source = open(argv[1], O_RDONLY | O_CLOEXEC);
    const ssize_t n = read(source, image + 5, 65535);
    close(source);
    if (n < 0) {
        return 1;
    }
    const unsigned char header[5] = {0x00, (unsigned char)(n >> 8), (unsigned char)n, 0x00, 0x00};
    const unsigned char footer[5] = {0xFF, 0x00, 0x00, 0x2C, 0x00};
    memcpy(image, header, 5);
    memcpy(image + 5 + n, footer, 5);

    char pending[4096];
    snprintf(pending, sizeof pending, "%s.floor", argv[2]);
    const int target = open(pending, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (write(target, image, (size_t)n + 10) != n + 10 || fsync(target) != 0 ||
        rename(pending, argv[2]) != 0) {
        return 1;
    }
    if (argc >= 5) {
        /* The target's folder is the current one in the benchmark. */
        const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fsync(target) != 0 || fsync(folder) != 0) {
            return 1;
        }
        close(folder);
    }
    close(target);
    if (argc == 6) {
        const int old = open(argv[5], O_RDONLY | O_CLOEXEC);
        const ssize_t size = read(old, disk, sizeof disk);
        close(old);
        if (size < 0 || replace(argv[5], disk, (size_t)size) != 0) {
            return 1;
        }
    }

    size_t size = (size_t)atoi(argv[3]);
    if (size > sizeof report) {
        size = sizeof report;
    }
    memset(report, '*', size);
    if (write(STDOUT_FILENO, report, size) < 0) {
        return 1;
    }
    char c;
    return read(STDIN_FILENO, &c, 1) < 0;
}
