// The straightforward users list build, record by record through the file:
// the reference the fast build must match byte for byte.
#ifndef ORNIX_DB_REFERENCE_H
#define ORNIX_DB_REFERENCE_H

// Builds (or extends) the database file `dbpath` from the text list `list`
// by walking each key's chain in the file. 0 on success, -1 on any error.
int reference_dbmake(const char *dbpath, const char *list);

// The classic ELF symbol hash of the lower-cased key, modulo 509.
unsigned reference_bucket(const char *key);

#endif
