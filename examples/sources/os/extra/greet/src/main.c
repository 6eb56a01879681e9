/* greet: prints a greeting in every language of the greeting table.
 *
 *   greet [NAME]          greets NAME (default: world)
 *
 * The table is GREET_DATA when set, else share/greet/greetings.tsv beside the
 * program's own bin directory, so the program works wherever its packages
 * were installed. */
#define _GNU_SOURCE
#include <greet.h>

#include <errno.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int tablePath(char *out, size_t size)
{
    const char *fromEnv = getenv("GREET_DATA");
    if (fromEnv != NULL && *fromEnv != '\0')
        return snprintf(out, size, "%s", fromEnv) < (int)size ? 0 : -1;
    char self[PATH_MAX];
    ssize_t const length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length < 0)
        return -1;
    self[length] = '\0';
    /* PREFIX/usr/bin/greet -> PREFIX/usr/share/greet/greetings.tsv */
    char *bin = dirname(self);
    return snprintf(out, size, "%s/../share/greet/greetings.tsv", bin) < (int)size ? 0 : -1;
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "world";
    char path[PATH_MAX];
    if (tablePath(path, sizeof path) != 0) {
        fprintf(stderr, "greet: cannot locate the greeting table\n");
        return 1;
    }
    greet_book *book = greet_open(path);
    if (book == NULL) {
        fprintf(stderr, "greet: %s: %s\n", path, strerror(errno));
        return 1;
    }
    char line[512];
    for (size_t i = 0; i < greet_count(book); ++i) {
        greet_format(book, i, name, line, sizeof line);
        printf("%-11s %s\n", greet_language(book, i), line);
    }
    printf("(%zu greetings, libgreet %s)\n", greet_count(book), greet_version());
    greet_close(book);
    return 0;
}
