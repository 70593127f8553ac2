// Clean verdicts of the scan-result cache belong to the signatures the engine
// had when it gave them. The cache directory records that signature
// generation in the file "generation" beside its two-level tree (whose format
// is untouched); a run whose engine has other signatures moves the tree aside
// and removes it before it uses the cache.
//
// The generation file is also the lock between runs: the generation is
// compared and replaced under its exclusive lock, and a verdict is added
// under its shared lock while it still names the adding run's generation. So
// a run that began under older signatures never adds to the tree of newer
// ones, and a tree only ever holds verdicts of the generation it records.
#ifndef ORNIX_CACHE_GENERATION_H
#define ORNIX_CACHE_GENERATION_H

#include <functional>
#include <string>

#include "ornix_lib.h"

#define CACHE_GENERATION_FILE "generation"
#define CACHE_GENERATION_MAX 4096        // longest generation record
#define CACHE_GENERATION_GRAVE ".old."   // prefix of a tree moved aside
#define CACHE_DEFAULT_DATABASE_DIR "/var/lib/clamav"  // clamd's own without DatabaseDirectory

// The signature generation of the engine at socket_path: its VERSION line,
// the contents of its configuration engine_conf, and the signature files of
// the DatabaseDirectory named there (name, size, times, inode each), since
// an engine with only private databases answers VERSION the same whatever
// they hold. 0 with *out set; 1 with *out set while a signature file changed
// too lately for the engine to be sure to have taken it (within its
// SelfCheck interval and the time of a reload): its verdicts may still be of
// the old signatures; -1 when the engine does not answer VERSION.
int signature_generation(const char *socket_path, const char *engine_conf, std::string *out);

// A cache directory bound to one generation.
struct CacheBinding {
  UniqueFd fd;             // the generation file, which is also the lock
  std::string generation;  // the generation this binding's verdicts belong to
  bool adds = false;       // false: verdicts of this binding are never added
};

// Opens dir (made when missing, as the insertion does) and its generation
// file and, holding the file's lock, compares the recorded generation with
// what compute() finds (returning as signature_generation does: with 1, the
// binding adds nothing); another one (or none) moves the tree aside, records
// the new generation and removes the old tree. 0 bound; -1 failure, logged
// (a failing compute() says why itself): the cache must then not be used.
int cache_bind(const char *dir, const std::function<int(std::string *)> &compute,
               CacheBinding *b);
// Holds the generation file shared while it still records b's generation:
// 0 held (end with cache_release), 1 another generation recorded or b adds
// nothing (nothing held), -1 failure (nothing held).
int cache_hold(const CacheBinding &b);
void cache_release(const CacheBinding &b);

// ornixfs, process-wide. Binds this run's cache to the engine's signatures
// when the cache is on and CacheSignatureBound is yes; once the engine is up.
void cache_generation_begin(void);
// False when the binding failed: no lookup may hit.
bool cache_generation_usable(void);
// Before one insertion: 0 go ahead (end with cache_add_end); 1 skip it, as
// the signatures changed since this run began or the binding failed (said
// once in the log); -1 failure.
int cache_add_begin(void);
void cache_add_end(void);

#endif
