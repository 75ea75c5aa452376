/*
 * vantrix_extra.h: the rest of the Vantro SDK's C interface: pools, string
 * helpers, sockets, containers, logs, monitoring, packets and XML export.
 */
#ifndef VANTRIX_EXTRA_H
#define VANTRIX_EXTRA_H

#include "vantrix.h"

#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Element pools (memory) */
typedef struct _memelem {
    struct _memelem *next;
    double data[1]; /* payload, aligned for a double */
} memelem_t;

typedef struct _vn_memroot {
    size_t size;        /* elements on the free list */
    size_t num;         /* step: elements allocated or trimmed at once */
    size_t min;         /* elements created with the pool */
    size_t max;         /* min + num: the free count at which a trim happens */
    size_t malloc_size; /* payload size + 8 */
    memelem_t *head;
    int c;
} vn_memroot_t;

vn_memroot_t *vn_new_memroot(size_t size, size_t num, size_t increase);
void *vn_mem_get(vn_memroot_t *root);
void vn_mem_release(vn_memroot_t *root, void *data);

/* Tagged allocations for builds with DEBUG_MEMCHECK. */
void *vn_malloc2(size_t size, char prefix, const char *file, int line);
void *vn_calloc2(size_t nmemb, size_t size, char prefix, const char *file, int line);
void *vn_realloc2(void *ptr, size_t size, char prefix, const char *file, int line);
char *vn_strdup2(const char *text, char prefix, const char *file, int line);
void vn_free2(void *ptr);
vn_memroot_t *vn_new_memroot2(size_t size, size_t num, size_t increase, char prefix, const char *file, int line);
void *vn_mem_get2(vn_memroot_t *root, char prefix, const char *file, int line);
char *vn_strduplen2(const char *text, size_t length, char prefix, const char *file, int line);
/* (end memory) */

/* String, hash and file helpers (misc) */
/* (end misc) */

/* String pool (stringpool) */
/* (end stringpool) */

/* Platform shims (compat_linux, compat_posix) */
/* (end compat) */

/* IPv4 sockets (net) */
/* (end net) */

/* Container callbacks (codelibrary/container) */
/* (end container) */

/* Locked queue (codelibrary/queue) */
/* (end queue) */

/* Locked hash table (codelibrary/hashtable) */
/* (end hashtable) */

/* Growing hash map (codelibrary/hashmap) */
/* (end hashmap) */

/* Argument splitter (codelibrary/stringhandler) */
/* (end stringhandler) */

/* Configuration internals shared with modules (config) */
void vn_config_add_file(const char *name);
void vn_config_add_search(const char *path);
void vn_config_set_test(const char *tag, char **correct_value);
void vn_config_del_test(const char *tag);
void vn_config_del_option(const char *name);

/* The source being read: a file name ("args" for the command line) and line. */
const char *vn_config_get_filename(void);
int vn_config_get_linenumber(void);

/* Collected configuration messages; each text ends with its own newline. */
void vn_config_add_error_message(const char *text);
void vn_config_add_error_message_fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vn_config_add_config_reading_message_fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));

void vn_config_parse_files(void);
int vn_config_parse_file(const char *name);
/* Maps %h, %a and %n in place; `text` must have room for 1024 bytes. */
void vn_config_percent_mappings_r(char *text);
/* (end config) */

/* Expressions (config_expr) */
/* (end config_expr) */

/* XML export (config_xmlout) */
/* (end config_xmlout) */

/* Start-up internals (vantrix, daemon) */
/* (end vantrix) */

/* Event loop (event) */
/* (end event) */

/* Cross-thread call channels (codelibrary/signalmain) */
/* (end signalmain) */

/* Timed batcher (codelibrary/batch) */
/* (end batch) */

/* Logs (log) */
/* (end log) */

/* Monitoring (monitor) */
/* (end monitor) */

/* UDP commands (udpsignal) */
/* (end udpsignal) */

/* Fields and quix64 (fields, quix64) */
/* (end fields) */

/* Object image cache store (codelibrary/cache) */
/* (end cache) */

/* Wire packets (pkt) */
/* (end pkt) */

#ifdef __cplusplus
}
#endif

#endif /* VANTRIX_EXTRA_H */
