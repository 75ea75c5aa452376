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
/* Disposes of one item; called only when a whole container is cleared or deleted. */
typedef void (*tarvelutil_container_delete_func)(void *context, void *data);
/* 0 removes the item (without the delete callback), -1 stops the walk, any other value goes on. */
typedef int (*tarvelutil_container_foreach_func)(void *context, const void *key, void *data);
/* Must give 0 or a positive value. */
typedef int (*tarvelutil_container_hash_func)(const void *key);
/* 0 when the two keys are equal. */
typedef int (*tarvelutil_container_compare_func)(const void *key1, const void *key2);
/* (end container) */

/* Locked queue (codelibrary/queue) */
typedef struct _tarvelutil_queue tarvelutil_queue_t;

/* Called after a non-quiet push with the queue still locked; count is the new item count. */
typedef void (*tarvelutil_queue_trigger_func)(void *context, tarvelutil_queue_t *queue, int count);

struct _tarvelutil_queue {
    vn_list_t queue;       /* front is queue.next, back is queue.prev */
    int queue_count;       /* item count; read without the mutex through atomic loads */
    void *context;
    tarvelutil_queue_trigger_func trigger_func;
    tarvelutil_container_delete_func delete_func;
    pthread_mutex_t mutex;
    pthread_cond_t cond;   /* broadcast on every push */
};

tarvelutil_queue_t *tarvelutil_queue_create(tarvelutil_container_delete_func delete_func,
                                            tarvelutil_queue_trigger_func trigger_func, void *context);
void tarvelutil_queue_delete(tarvelutil_queue_t *queue);
void tarvelutil_queue_clear(tarvelutil_queue_t *queue);
int tarvelutil_queue_count(tarvelutil_queue_t *queue);
int tarvelutil_queue_foreach(tarvelutil_queue_t *queue, tarvelutil_container_foreach_func foreach_func, void *context);

void tarvelutil_queue_push_back(tarvelutil_queue_t *queue, void *data);
void tarvelutil_queue_push_front(tarvelutil_queue_t *queue, void *data);
void tarvelutil_queue_push_back_quiet(tarvelutil_queue_t *queue, void *data);
void tarvelutil_queue_push_front_quiet(tarvelutil_queue_t *queue, void *data);

/* Takers return null when there is nothing to take. The _wait forms wait without
   limit for seconds 0, up to that many seconds above 0, and not at all below 0. */
void *tarvelutil_queue_pop_front(tarvelutil_queue_t *queue);
void *tarvelutil_queue_pop_front_wait(tarvelutil_queue_t *queue, int seconds);
void *tarvelutil_queue_peek_front(tarvelutil_queue_t *queue);
void *tarvelutil_queue_peek_front_wait(tarvelutil_queue_t *queue, int seconds);
void *tarvelutil_queue_pop_back(tarvelutil_queue_t *queue);
void *tarvelutil_queue_pop_back_wait(tarvelutil_queue_t *queue, int seconds);
void *tarvelutil_queue_peek_back(tarvelutil_queue_t *queue);
void *tarvelutil_queue_peek_back_wait(tarvelutil_queue_t *queue, int seconds);
/* (end queue) */

/* Locked hash table (codelibrary/hashtable) */
/* (end hashtable) */

/* Growing hash map (codelibrary/hashmap) */
/* (end hashmap) */

/* Argument splitter (codelibrary/stringhandler) */
/* Splits the first length bytes of line into words in place (the line needs room
   for length + 1 bytes). Returns a new array of the word starts, the first being
   line itself, ended by a null slot and freed with vn_free; count gets the number
   of words. A null line or a negative length gives null and a count of 0. */
char **tarvelutil_argument_parse(char *line, int length, int *count);
/* (end stringhandler) */

/* Configuration internals shared with modules (config) */
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
