#define _GNU_SOURCE
#include "greet.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef GREET_VERSION
#define GREET_VERSION "unknown"
#endif

struct greet_entry {
    char *language;
    char *phrase;
};

struct greet_book {
    struct greet_entry *entries;
    size_t count;
};

const char *greet_version(void) { return GREET_VERSION; }

void greet_close(greet_book *book)
{
    if (book == NULL)
        return;
    for (size_t i = 0; i < book->count; ++i)
        free(book->entries[i].language); /* the phrase lives in the same block */
    free(book->entries);
    free(book);
}

greet_book *greet_open(const char *path)
{
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return NULL;
    greet_book *book = calloc(1, sizeof *book);
    char *line = NULL;
    size_t capacity = 0, allocated = 0;
    ssize_t length;
    int error = 0;
    while (book != NULL && (length = getline(&line, &capacity, file)) >= 0) {
        if (length > 0 && line[length - 1] == '\n')
            line[--length] = '\0';
        if (length == 0)
            continue;
        char *tab = strchr(line, '\t');
        if (tab == NULL) {
            error = EINVAL;
            break;
        }
        if (book->count == allocated) {
            size_t const grown = allocated ? allocated * 2 : 8;
            struct greet_entry *entries = realloc(book->entries, grown * sizeof *entries);
            if (entries == NULL) {
                error = ENOMEM;
                break;
            }
            book->entries = entries;
            allocated = grown;
        }
        char *copy = strdup(line);
        if (copy == NULL) {
            error = ENOMEM;
            break;
        }
        copy[tab - line] = '\0';
        book->entries[book->count].language = copy;
        book->entries[book->count].phrase = copy + (tab - line) + 1;
        ++book->count;
    }
    if (book == NULL)
        error = ENOMEM;
    else if (error == 0 && ferror(file))
        error = EIO;
    free(line);
    fclose(file);
    if (error != 0) {
        greet_close(book);
        errno = error;
        return NULL;
    }
    return book;
}

size_t greet_count(const greet_book *book) { return book->count; }

const char *greet_language(const greet_book *book, size_t index)
{
    return index < book->count ? book->entries[index].language : NULL;
}

int greet_format(const greet_book *book, size_t index, const char *name, char *buf, size_t size)
{
    if (index >= book->count)
        return -1;
    const char *rest = book->entries[index].phrase;
    size_t const nameLength = strlen(name);
    size_t written = 0;
    /* Copies piece by piece, always counting the full length and never
     * writing beyond size - 1, so a short buffer gets a truncated text. */
    while (*rest != '\0') {
        const char *mark = strstr(rest, "NAME");
        size_t const plain = mark ? (size_t)(mark - rest) : strlen(rest);
        for (size_t i = 0; i < plain; ++i, ++written)
            if (written + 1 < size)
                buf[written] = rest[i];
        rest += plain;
        if (mark != NULL) {
            for (size_t i = 0; i < nameLength; ++i, ++written)
                if (written + 1 < size)
                    buf[written] = name[i];
            rest += 4;
        }
    }
    if (size > 0)
        buf[written < size ? written : size - 1] = '\0';
    return (int)written;
}
