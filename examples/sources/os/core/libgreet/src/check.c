/* Run by build.sh against the freshly built library: formatting, truncation
 * and the refusal of a malformed table. */
#include "greet.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        ++failures;
    }
}

int main(void)
{
    FILE *table = fopen("check-table.tsv", "w");
    fputs("English\tHello, NAME!\nNone\tno name here\n", table);
    fclose(table);
    FILE *broken = fopen("check-broken.tsv", "w");
    fputs("English Hello\n", broken);
    fclose(broken);

    greet_book *book = greet_open("check-table.tsv");
    expect(book != NULL, "the table opens");
    if (book == NULL)
        return 1;
    char buf[64];
    expect(greet_count(book) == 2, "two entries");
    expect(strcmp(greet_language(book, 0), "English") == 0, "language of entry 0");
    expect(greet_format(book, 0, "world", buf, sizeof buf) == 13 && strcmp(buf, "Hello, world!") == 0,
           "NAME is replaced");
    expect(greet_format(book, 0, "world", buf, 6) == 13 && strcmp(buf, "Hello") == 0,
           "a short buffer is truncated and terminated");
    expect(greet_format(book, 1, "x", buf, sizeof buf) == 12 && strcmp(buf, "no name here") == 0,
           "a phrase without NAME is copied");
    expect(greet_format(book, 2, "x", buf, sizeof buf) == -1, "an index out of range is refused");
    greet_close(book);

    errno = 0;
    expect(greet_open("check-broken.tsv") == NULL && errno == EINVAL, "a line without a tab is refused");
    expect(greet_open("check-missing.tsv") == NULL && errno == ENOENT, "a missing file is reported");

    if (failures == 0)
        printf("libgreet %s: all checks passed\n", greet_version());
    return failures != 0;
}
