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
/* (end config) */

/* Expressions (config_expr) */
/* (end config_expr) */

/* XML export (config_xmlout) */
/* The XML tree operations the application installs, in slot order. Documents,
 * nodes and attributes are the XML library's objects, passed through untouched. */
typedef struct _vn_xml_implementation {
    void *(*xmlNewDoc)(const char *version);
    void (*xmlFreeDoc)(void *doc);
    void *(*xmlDocSetRootElement)(void *doc, void *root);
    int (*xmlSaveFile)(const char *filename, void *doc);
    void *(*xmlAddChild)(void *parent, void *child);
    void *(*xmlNewProp)(void *node, const char *name, const char *value);
    void *(*xmlNewNode)(void *ns, const char *name);
} vn_xml_implementation_t;

void vn_xml_set_implementation(vn_xml_implementation_t *table);
void vn_xmlout_jmx_config_init(void);
void vn_xml_write_config(const char *config_file, const char *fields_file);
/* (end config_xmlout) */

/* Start-up internals (vantrix, daemon) */
int vn_filename_resolve(const char *name, char *buffer, size_t bufsize);
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
