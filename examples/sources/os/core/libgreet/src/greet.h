/* libgreet: reads a greeting table (one "language<TAB>phrase" per line, the
 * phrase holding NAME where the greeted name goes) and formats greetings. */
#ifndef GREET_H
#define GREET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct greet_book greet_book;

/* The library's version text, e.g. "2.0.1". */
const char *greet_version(void);

/* Reads the table at path. Returns NULL with errno set when the file cannot
 * be read, or with errno EINVAL when a line has no tab. */
greet_book *greet_open(const char *path);
void greet_close(greet_book *book);

size_t greet_count(const greet_book *book);
const char *greet_language(const greet_book *book, size_t index);

/* Writes the phrase of entry index into buf with every NAME replaced by name.
 * Returns the length of the full text (as snprintf does), or -1 for an index
 * out of range. */
int greet_format(const greet_book *book, size_t index, const char *name, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
