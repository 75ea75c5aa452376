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

/* The JVM calls that take or give JNI types are declared only where jni.h
 * (with its jni_md.h) can be included. */
#if defined(__has_include)
#if __has_include(<jni.h>) && __has_include(<jni_md.h>)
#include <jni.h>
#endif
#endif

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
/* The string hash of the whole system: never negative, 0 for empty text. */
int vn_hash_code(const char *text);
int vn_hash_code_len(const char *text, int length);
/* Ends the first word at its blank; 1 when a blank ended it. */
char vn_get_word(char *line, char **rest);
/* Splits the line in place at every separator; free the array with vn_free. */
char **vn_get_words(char *line, int length, int *count, char separator);
char *vn_strduplen(const char *text, size_t length);
char *vn_strdupdp(const char *text, int places);
char *vn_asprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int vn_file_printf(sock_t fd, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* The hidden marker beside a log file records when the log was created. */
time_t vn_file_return_creation_time(const char *file_name);
void vn_file_update_creation_time(const char *file_name);
/* (end misc) */

/* String pool (stringpool) */
/* The pooled copy of a text, shared by every caller that asks for an equal
   text; give it back with vn_stringpool_release. A null text gives null. */
char *vn_stringpool_alloc(const char *wanted);
/* Gives back one reference to a pooled copy; the copy is freed with the last. */
void vn_stringpool_release(const char *torelease);
/* (end stringpool) */

/* Platform shims (compat_linux, compat_posix) */
void vn_thread_setname(const char *name);
void vn_set_dumpable(int verbose);
long vn_num_cpus(int verbose);
/* One new dotted-quad text per IPv4 interface address; null when none. */
char **vn_get_addresses(int *count);
int vn_filename_resolve(const char *name, char *buffer, size_t size);
void vn_set_superuser(void);
void vn_unset_superuser(void);
/* (end compat) */

/* IPv4 sockets (net) */
/* Every socket operation returns -1 (or null) and leaves the reason in errno. */
sock_t vn_listen_socket(const struct in_addr *address, int port, int backlog);
/* As vn_listen_socket; on success logs "Opening port %d for %s access" at level 6. */
sock_t vn_listen_socket_log(const struct in_addr *address, int port, int backlog, struct _vn_log *log,
                            const char *context);
sock_t vn_accept_socket(sock_t listener);
sock_t vn_client_socket(const char *host, u_short port);
sock_t vn_client_socket_nonblocking(const char *host, u_short port);
sock_t vn_udp_listen_socket(const char *interface_address, int port);
sock_t vn_multicast_listen_socket(const char *interface_address, const char *group, int port);
sock_t vn_udp_client_socket(const char *host, int port, struct sockaddr_in *address);
int vn_udp_bind_client_socket(sock_t sock, const char *local_address, int port);
ssize_t vn_udp_send(const void *data, size_t length, const char *host, int port);
ssize_t vn_udp_sendto(const void *data, size_t length, const struct sockaddr_in *address);
struct sockaddr *vn_gethostsockaddr(const char *host, struct sockaddr *address);
int vn_getaddr(const char *host, struct in_addr *address);
int vn_inet_aton(const char *text, struct in_addr *address);
/* Shared static result: not for concurrent callers. */
const char *vn_interface_address(const char *interface_name);
int vn_check_subnet(const char *address, const char *network, const char *netmask);
int vn_pipe(sock_t fds[2]);
int vn_setnonblocking(sock_t fd);
const char *vn_socket_strerror(int error);
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

/* Remembers the library's log; returns 0. */
int tarvelutil_queue_init(struct _vn_log *log);

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
/* Flags of the entry operations: 0 takes no entry hold, 1 (and 3) a read hold,
   2 a write hold. A hold taken by get, put or put_unique stays until
   tarvelutil_hashtable_release with the same flags. */
struct _tarvelutil_hashtable_bucket_list;

typedef struct _tarvelutil_hashtable {
    int size;  /* buckets, fixed at creation */
    int num;   /* entries; changed and read through atomic operations */
    struct _tarvelutil_hashtable_bucket_list *table;
    void *context;
    int flags; /* stored, not used */
    tarvelutil_container_hash_func hash;
    tarvelutil_container_compare_func compare;
    tarvelutil_container_delete_func dealloc; /* called only by delete */
} tarvelutil_hashtable_t;

int tarvelutil_hashtable_init(struct _vn_log *log);
/* Size below 1 gives 250 buckets; a null hash is vn_hash_code of the key as text,
   a null compare strcmp. */
tarvelutil_hashtable_t *tarvelutil_hashtable_create(int size, tarvelutil_container_hash_func hash,
                                                    tarvelutil_container_compare_func compare,
                                                    tarvelutil_container_delete_func dealloc, void *context,
                                                    int flags);
/* Adds an entry without looking for an equal key: the newest is found first. */
void tarvelutil_hashtable_put(tarvelutil_hashtable_t *table, const void *key, void *data, int flags);
/* Replaces the data of an equal-keyed entry and returns the previous data, or adds an entry and returns null. */
void *tarvelutil_hashtable_put_unique(tarvelutil_hashtable_t *table, const void *key, void *data, int flags);
void *tarvelutil_hashtable_get(tarvelutil_hashtable_t *table, const void *key, int flags);
void tarvelutil_hashtable_release(tarvelutil_hashtable_t *table, const void *key, int flags);
/* Unlinks the newest equal-keyed entry and returns its data, which the caller then owns. */
void *tarvelutil_hashtable_remove(tarvelutil_hashtable_t *table, const void *key, int flags);
/* The callback runs with the bucket locked: it must not call into the same table. */
int tarvelutil_hashtable_foreach(tarvelutil_hashtable_t *table, tarvelutil_container_foreach_func foreach_func,
                                 void *context, int flags);
int tarvelutil_hashtable_get_size(tarvelutil_hashtable_t *table);
void tarvelutil_hashtable_delete(tarvelutil_hashtable_t *table);
/* (end hashtable) */

/* Growing hash map (codelibrary/hashmap) */
/* For one thread at a time: no lock. When full it grows and moves its old
   buckets a few at a time, so no single put pays for the whole rehash. */
struct _tarvelutil_hashmap_bucket_list;

typedef struct _tarvelutil_hashmap {
    int size;     /* buckets of the current table */
    int size2;    /* buckets of the old table while a migration is pending, else 0 */
    int migrated; /* old buckets moved so far */
    struct _tarvelutil_hashmap_bucket_list *table;
    struct _tarvelutil_hashmap_bucket_list *table2;
    int num;      /* entries in both tables */
    void *context;
    tarvelutil_container_hash_func hash;
    tarvelutil_container_compare_func compare;
    tarvelutil_container_delete_func dealloc; /* called only by delete */
} tarvelutil_hashmap_t;

/* Decodes a text in place (in and out are the same text); the result is not used. */
typedef size_t (*tarvelutil_hashmap_decode_func)(const char *in, size_t inlen, char *out, size_t outlen);

int tarvelutil_hashmap_init(struct _vn_log *log);
/* Process-wide tuning, meant to be set before maps are used: a map grows when it
   holds more than fill factor (2) entries per bucket, by grow factor (2), moving
   migrate num (100) old buckets per put. Values below 1 (grow factor: below 2)
   are ignored. */
void tarvelutil_hashmap_set_fill_factor(int fill_factor);
void tarvelutil_hashmap_set_grow_factor(int grow_factor);
void tarvelutil_hashmap_set_migrate_num(int migrate_num);
/* Size below 1 gives 250 buckets; a null hash is vn_hash_code, a null compare strcmp. */
tarvelutil_hashmap_t *tarvelutil_hashmap_create(int size, tarvelutil_container_hash_func hash,
                                                tarvelutil_container_compare_func compare,
                                                tarvelutil_container_delete_func dealloc, void *context, int flags);
/* Adds an entry without looking for an equal key: the newest is found first. */
void tarvelutil_hashmap_put(tarvelutil_hashmap_t *map, const void *key, void *data, int flags);
/* Replaces the data of an equal-keyed entry and returns the previous data, or adds an entry and returns null. */
void *tarvelutil_hashmap_put_unique(tarvelutil_hashmap_t *map, const void *key, void *data, int flags);
void *tarvelutil_hashmap_get(tarvelutil_hashmap_t *map, const void *key, int flags);
/* Unlinks the newest equal-keyed entry and returns its data, which the caller then owns. */
void *tarvelutil_hashmap_remove(tarvelutil_hashmap_t *map, const void *key, int flags);
int tarvelutil_hashmap_foreach(tarvelutil_hashmap_t *map, tarvelutil_container_foreach_func foreach_func,
                               void *context, int flags);
/* Walks only the entries whose key equals key; returns how many were passed to the function. */
int tarvelutil_hashmap_find_foreach(tarvelutil_hashmap_t *map, const void *key,
                                    tarvelutil_container_foreach_func foreach_func, void *context, int flags);
int tarvelutil_hashmap_get_size(tarvelutil_hashmap_t *map);
void tarvelutil_hashmap_delete(tarvelutil_hashmap_t *map);
/* Puts every name=value word of text (split in place at separator) into map,
   name and value decoded in place; they point into text, which must outlive them. */
void tarvelutil_hashmap_stringtohashmap(char *text, char separator, tarvelutil_hashmap_t *map,
                                        tarvelutil_hashmap_decode_func decode);
/* (end hashmap) */

/* Argument splitter (codelibrary/stringhandler) */
/* Splits the first length bytes of line into words in place (the line needs room
   for length + 1 bytes). Returns a new array of the word starts, the first being
   line itself, ended by a null slot and freed with vn_free; count gets the number
   of words. A null line or a negative length gives null and a count of 0. */
char **tarvelutil_argument_parse(char *line, int length, int *count);
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

/* One bar-separated row per documented option of the current context. */
void vn_config_document_options(FILE *stream);
/* Text listings for a terminal, on standard output. */
void vn_config_list_options(void);
void vn_config_list_values(void);
/* (end config) */

/* Expressions (config_expr) */
typedef enum {
    VN_CONFIG_EXPR_CONSTANT = 0,
    VN_CONFIG_EXPR_OPERATOR = 1
} vn_config_expr_nodetype_t;

/* One node of a compiled expression. */
typedef struct _vn_config_expr {
    vn_config_expr_nodetype_t type;
    vn_list_t list;               /* link in the node list of the compile that made it */
    char *value;                  /* constant: owned text */
    int oper;                     /* operator: its code ('+', 261 "&&", 267 unary minus, ...) */
    int nops;                     /* operator: number of operands */
    struct _vn_config_expr **op;  /* operator: the operands */
} vn_config_expr_t;
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
pthread_t vn_main_thread(void);
/* (end vantrix) */

/* Event loop (event) */
extern const vn_config_enum_t vn_event_module_enums[];
/* (end event) */

/* Latency chains (lty_chain) */
/* The names of latency-chain-base64-mode: never 0, decode 1, detect 2, encode 4. */
extern const vn_config_enum_t base64_mode_enums[];
/* (end lty_chain) */

/* Cross-thread call channels (codelibrary/signalmain) */
/* A channel runs functions on the thread that created it (its owner, which
 * must own an event loop): senders queue a call and a wake-up byte makes the
 * owner's loop run it. A synchronous post waits until the call has run; one
 * synchronous sender is admitted at a time. */
typedef int (*tarvelutil_signalmain_cb_t)(int type, void *data);
typedef struct _tarvelutil_signalany tarvelutil_signalany_t;

/* NULL when the calling thread has no event loop. */
tarvelutil_signalany_t *tarvelutil_signalany_create(struct _vn_log *log);
/* On the owner runs func(type, data) at once; elsewhere as tarvelutil_signalany_send. */
int tarvelutil_signalany_exec(tarvelutil_signalany_t *channel, int type, tarvelutil_signalmain_cb_t func, void *data,
                              int async);
/* Queues the call even on the owner; async 0 waits until it has run (on the
 * owner, where waiting could never end, it runs at once instead). */
int tarvelutil_signalany_send(tarvelutil_signalany_t *channel, int type, tarvelutil_signalmain_cb_t func, void *data,
                              int async);
/* Calls still queued are run and their senders woken before the channel is
 * freed. From another thread the delete is carried out on the owner. */
int tarvelutil_signalany_delete(tarvelutil_signalany_t *channel);
/* Most calls run per wake-up; 0 or less: no limit. */
int tarvelutil_signalany_set_yield_count(tarvelutil_signalany_t *channel, int count);
int tarvelutil_signalany_get_yield_count(tarvelutil_signalany_t *channel);

/* The process-wide default channel, made on the calling thread. */
int tarvelutil_signalmain_init(struct _vn_log *log);
int tarvelutil_signalmain_exec(int type, tarvelutil_signalmain_cb_t func, void *data, int async);
int tarvelutil_signalmain_send(int type, tarvelutil_signalmain_cb_t func, void *data, int async);
int tarvelutil_signalmain_set_yield_count(int count);
int tarvelutil_signalmain_get_yield_count(int ignored);
int tarvelutil_signalmain_exit(void);
/* (end signalmain) */

/* Timed batcher (codelibrary/batch) */
/* Objects added from any thread are collected into batches; a periodic
 * check closes the current batch and, batch_time seconds later, hands it
 * object by object to the callback on the loop that made the batcher. */
typedef void (*tarvelutil_batch_func)(void *context, void *object);
typedef struct _tarvelutil_batch tarvelutil_batch_t;

int tarvelutil_batch_init(struct _vn_log *log);
/* check_time of 0 or less checks every second. */
tarvelutil_batch_t *tarvelutil_batch_create(tarvelutil_batch_func callback, void *context, double batch_time,
                                            double check_time);
void tarvelutil_batch_add(tarvelutil_batch_t *batch, void *object);
/* On the loop's thread: the open batch is delivered at once; closed batches
 * are still delivered at their time. */
void tarvelutil_batch_delete(tarvelutil_batch_t *batch);
/* (end batch) */

/* Logs (log) */
typedef struct _vn_log vn_log_t;
struct iovec;

/* Levels: 0 CONFIG, 1 (no prefix), 2 CRIT, 3 ERROR, 4 NOTIFY, 5 WARN, 6 INFO,
 * 7 DEBUG, 8 FINER, 9 FINEST; a message is written when its level is at most
 * the log's. Flags added to a level: 0x80 always to monitoring, 0x100 also to
 * standard error, 0x200 also to the system log, 0x400 to the file only, 0x800
 * never to monitoring. */
typedef void (*vn_loglevelchange_t)(vn_log_t *log, int level);
typedef void (*vn_log_message_cb)(vn_log_t *log, int level, const char *fmt, va_list ap);
typedef void (*vn_logcycled_t)(vn_log_t *log);

/* A file name starting with "|" is a command that reads the log on its
 * standard input; a name without "/" lies in the log directory. */
vn_log_t *vn_new_log(const char *name, const char *logname);
vn_log_t *vn_new_level_log(const char *name, const char *logname, vn_loglevelchange_t change_cb);
vn_log_t *vn_new_headed_log(const char *name, const char *logname, const char *header);
void vn_free_log(vn_log_t *log);

void vn_log(vn_log_t *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void vn_printf_time_ap(vn_log_t *log, const char *extra, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
void vn_printf_time(vn_log_t *log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vn_printf(vn_log_t *log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vn_syslog(vn_log_t *log, int priority, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
ssize_t vn_write(vn_log_t *log, const void *data, size_t len);
ssize_t vn_writev(vn_log_t *log, const struct iovec *iov, int count);

int vn_debug_level(const char *text);
const char *vn_debug_string(int level);
const char *vn_debug_config_string(int level);
int vn_log_get_level(vn_log_t *log);
int vn_log_set_log_level(vn_log_t *log, const char *text);
const char *vn_log_getname(vn_log_t *log);
const char *vn_log_getfilename(vn_log_t *log);
char *vn_log_filename(const char *format);
vn_log_message_cb vn_log_set_message_cb(vn_log_t *log, vn_log_message_cb cb);
void vn_log_change_level_callback(vn_log_t *log, vn_loglevelchange_t cb);
vn_logcycled_t vn_log_cycled_callback(vn_log_t *log, vn_logcycled_t cb);

/* Moves the log's file aside under its name less ".log" plus the suffix (the
 * cycle record's strftime suffix at the file's creation day when NULL) and
 * reopens the name. maxsize -1 takes the record's limit; with a limit above 0
 * a smaller file is left alone. 0 when cycled, -1 when not (piped logs never are). */
int vn_cycle_log(vn_log_t *log, const char *suffix, int maxsize);
void vn_cycle_all_logs(const char *suffix, int maxsize);
/* (end log) */

/* Monitoring (monitor) */
/* Type codes: the low five bits of a member's typeflags and of a value's datatype. */
#define VN_MONITOR_BINARY 1 /* no scalar payload; an array of bytes */
#define VN_MONITOR_STRING 2
#define VN_MONITOR_SHORT 3
#define VN_MONITOR_USHORT 4
#define VN_MONITOR_LONG 5
#define VN_MONITOR_ULONG 6
#define VN_MONITOR_LLONG 7
#define VN_MONITOR_ULLONG 8
#define VN_MONITOR_DOUBLE 9
#define VN_MONITOR_TIMESTAMP 10 /* signed 64 bits */
#define VN_MONITOR_BOOLEAN 11   /* 16 bits, 0 or 1 */
#define VN_MONITOR_RELATION 20     /* member kind only */
#define VN_MONITOR_SUBSCRIPTION 21 /* member kind only; its arrays hold texts */
#define VN_MONITOR_TYPE_MASK 0x1f
/* Flags added to a type code. */
#define VN_MONITOR_ARRAY 0x20     /* the value is a vn_array_t */
#define VN_MONITOR_ACTIVE 0x40    /* produced on request by the member's getter */
#define VN_MONITOR_ACTIVE2 0x80   /* read on request from the member's live variable */
#define VN_MONITOR_METHOD 0x100   /* a method with a callback */
#define VN_MONITOR_KEY 0x200      /* holds the group's key */
#define VN_MONITOR_HIERARCHY 0x400
#define VN_MONITOR_ARGUMENT_FLAG 0x800 /* argument lists only: documented as 1 */

typedef struct _vn_array {
    int32_t size; /* element count; bytes for BINARY */
    union {
        void *ptr;
        unsigned char *b;
        char **c; /* owned texts */
        int16_t *s;
        uint16_t *us;
        int32_t *l;
        uint32_t *ul;
        int64_t *ll;
        uint64_t *ull;
        double *d;
    } data;
} vn_array_t;

/* One value. TIMESTAMP is held in ll, BOOLEAN in us. */
typedef struct _vn_monitor {
    char *propertyname; /* owned, may be NULL */
    int32_t datatype;   /* type code, plus VN_MONITOR_ARRAY for an array */
    union {
        void *active_ptr;
        char *c; /* owned */
        int16_t s;
        uint16_t us;
        int32_t l;
        uint32_t ul;
        int64_t ll;
        uint64_t ull;
        double d;
        vn_array_t array;
    } data;
} vn_monitor_t;

/* One argument of a method; a list ends with an entry whose name is NULL.
 * Lists are kept by pointer, so they must outlive the template. */
typedef struct _vn_arguments {
    int32_t typeflags;
    const char *name;
    const char *description;
    const char *docstring; /* label, or NULL */
} vn_arguments_t;

/* Getters and methods return a new value that their caller frees. A method
 * gets its own name as argv[0] and its arguments after it. */
typedef vn_monitor_t *(*vn_monitor_method_cb)(const char *template_name, const char *key, const char *property,
                                              int argc, char **argv);
typedef vn_monitor_t *(*vn_monitor_active_cb)(const char *template_name, const char *key, const char *property);

/* One member of a template; fields a kind does not use are NULL or 0. */
typedef struct _vn_property {
    char *propertyname;
    char *description;    /* without its label */
    char *targettemplate; /* relations and subscriptions */
    int32_t typeflags;
    vn_arguments_t *arguments; /* a method's argument list */
    void *genptr;              /* method, getter, subscription callback or live variable */
    char *singleton;           /* subscriptions */
    int32_t thisend;           /* relations */
    int32_t thatend;
    char *docstring; /* the description's label, or NULL */
} vn_property_t;

typedef struct _vn_template {
    char *templatename;
    int32_t num_properties;
    vn_property_t *properties;
    char *description; /* without its label */
} vn_template_t;

/* The operations a monitoring module fills, in slot order. Empty slots are
 * skipped; results are not used. */
typedef struct _vn_monitor_funcs {
    int (*monitor_exit)(void);
    int (*monitor_new_template)(const char *name, vn_template_t *tmpl);
    /* The module owns the value from then on. */
    int (*monitor_update)(const char *template_name, const char *key, vn_monitor_t *value);
    int (*monitor_create)(const char *template_name, const char *key, const char *brief, const char *description);
    int (*monitor_delete)(const char *template_name, const char *key);
    int (*monitor_add_relation)(const char *template_name, const char *key, const char *property,
                                const char *target_key);
    int (*monitor_del_relation)(const char *template_name, const char *key, const char *property,
                                const char *target_key);
    int (*monitor_activate)(void);
    int (*monitor_add_subscription)(const char *template_name, const char *key, const char *property,
                                    const char *value);
    int (*monitor_del_subscription)(const char *template_name, const char *key, const char *property,
                                    const char *value);
} vn_monitor_funcs_t;

/* The module's entry point "monitor_init": called once at start-up with the
 * application name, the module name, the event log and the table to fill;
 * 0 on success (any other result empties the table). */
typedef int (*vn_monitor_init_t)(const char *app_name, const char *module_name, struct _vn_log *log,
                                 vn_monitor_funcs_t *funcs);

/* One monitoring access request. */
typedef struct _vn_monauth {
    char *username;
    char *password;
    char *ipaddress; /* dotted quad, or NULL */
} vn_monauth_t;

/* An application's access decision: 1 grants. */
typedef int (*vn_monitor_authenticator_t)(vn_monauth_t *auth);

/* The monitor-module setting, or NULL. */
const char *vn_monitor_module_name(void);
/* Installs an authenticator that decides alone; returns the previous one. */
vn_monitor_authenticator_t vn_monitor_set_auth(vn_monitor_authenticator_t cb);
/* The access decision for the module and the "monitor-method" command: 1
 * grants. Without an authenticator the add-monuser records decide, and a
 * request no record grants is denied; with no records every request is
 * granted. A record with a key-id checks the password as a sign-on token
 * only when it has a token's shape. Each decision is logged with the
 * password masked. */
int vnmon_authenticate(vn_monauth_t *auth);
/* Adds a server type and its root (the application name when NULL) and
 * publishes every type on "SERVERTYPE". */
void vn_monitor_add_server_type(const char *type, const char *root);

/* Templates, built on the init thread during start-up. Descriptions may
 * begin with a label, "!Label|!text". Adding to a template that does not
 * exist starts it with an empty description; lookups find the first of a name. */
vn_template_t *vn_monitor_start_template(const char *name, const char *description);
/* ptr is the method callback, ACTIVE getter or ACTIVE2 variable. */
void vn_monitor_add_template_member(const char *template_name, const char *name, const char *description,
                                    int typeflags, vn_arguments_t *args, void *ptr);
void vn_monitor_add_template_relation(const char *template_name, const char *name, const char *target,
                                      const char *description, int thisend, int thatend);
void vn_monitor_add_template_subscription(const char *template_name, const char *name, const char *target,
                                          const char *description, const char *singleton,
                                          vn_monitor_active_cb callback);
/* Hands the finished template to the monitoring module. */
void vn_monitor_end_template(const char *name);

/* Values; the caller owns the result. A scalar copies the value at datum (a
 * STRING datum is the text). With VN_MONITOR_ARRAY, datum points at datasize
 * elements (texts for STRING, bytes for BINARY and BOOLEAN). */
vn_monitor_t *vn_monitor_new(const char *name, int type, int datasize, const void *datum);
vn_monitor_t *vn_monitor_new_array(const char *name, int type);
/* Appends one element to an array value (a STRING datum is the text). */
void vn_monitor_add_data(vn_monitor_t *value, const void *datum);
/* The typed makers ignore template and key. */
vn_monitor_t *vn_monitor_new_double(const char *template_name, const char *key, const char *name, double value);
vn_monitor_t *vn_monitor_new_timestamp(const char *template_name, const char *key, const char *name, int64_t value);
vn_monitor_t *vn_monitor_new_llong(const char *template_name, const char *key, const char *name, int64_t value);
vn_monitor_t *vn_monitor_new_ullong(const char *template_name, const char *key, const char *name, uint64_t value);
vn_monitor_t *vn_monitor_new_long(const char *template_name, const char *key, const char *name, int32_t value);
vn_monitor_t *vn_monitor_new_ulong(const char *template_name, const char *key, const char *name, uint32_t value);
vn_monitor_t *vn_monitor_new_short(const char *template_name, const char *key, const char *name, int16_t value);
vn_monitor_t *vn_monitor_new_boolean(const char *template_name, const char *key, const char *name, int value);
vn_monitor_t *vn_monitor_new_ushort(const char *template_name, const char *key, const char *name, uint16_t value);
vn_monitor_t *vn_monitor_new_string(const char *template_name, const char *key, const char *name,
                                    const char *value);
/* Both accept NULL; vn_monitor_free also frees the record. */
void vn_monitor_free_data(vn_monitor_t *value);
void vn_monitor_free(vn_monitor_t *value);

/* Groups and updates, forwarded to the monitoring module from any thread;
 * without one they do nothing. */
void vn_monitor_create_group(const char *template_name, const char *key, const char *brief, const char *description);
void vn_monitor_delete_group(const char *template_name, const char *key);
void vn_monitor_add_relation(const char *template_name, const char *key, const char *property,
                             const char *target_key);
void vn_monitor_del_relation(const char *template_name, const char *key, const char *property,
                             const char *target_key);
void vn_monitor_add_subscription(const char *template_name, const char *key, const char *property,
                                 const char *value);
void vn_monitor_del_subscription(const char *template_name, const char *key, const char *property,
                                 const char *value);
/* The value belongs to the module from then on; without one it is freed at once. */
void vn_monitor_update(const char *template_name, const char *key, vn_monitor_t *value);
void vn_monitor_update_double(const char *template_name, const char *key, const char *name, double value);
void vn_monitor_update_timestamp(const char *template_name, const char *key, const char *name, int64_t value);
void vn_monitor_update_llong(const char *template_name, const char *key, const char *name, int64_t value);
void vn_monitor_update_ullong(const char *template_name, const char *key, const char *name, uint64_t value);
void vn_monitor_update_long(const char *template_name, const char *key, const char *name, int32_t value);
void vn_monitor_update_ulong(const char *template_name, const char *key, const char *name, uint32_t value);
void vn_monitor_update_short(const char *template_name, const char *key, const char *name, int16_t value);
void vn_monitor_update_boolean(const char *template_name, const char *key, const char *name, int value);
void vn_monitor_update_ushort(const char *template_name, const char *key, const char *name, uint16_t value);
void vn_monitor_update_string(const char *template_name, const char *key, const char *name, const char *value);

/* Calls for the monitoring module. Unknown templates or members give NULL;
 * a returned value belongs to the caller. */
vn_template_t *vnmon_get_template(const char *name);
vn_monitor_t *vnmon_get_active(const char *template_name, const char *key, const char *property);
vn_monitor_t *vnmon_call_method(const char *template_name, const char *key, const char *property, int argc,
                                char **argv);
/* Writes every template as pipe-separated lines, in creation order. */
void vn_monitor_document_templates(FILE *fp);
/* (end monitor) */

/* UDP commands (udpsignal) */
/* The older job interface: a function run for every command of its word. */
typedef void (*vn_udpsignal_job_cb)(int argc, char **argv);
/* Returns 0; the description is not used. */
int vn_udpsignal_addjob(const char *cmd, vn_udpsignal_job_cb fn, const char *desc);
/* Removes the newest job of that word (any case) and function: 0, or -1 when there is none. */
int vn_udpsignal_deljob(const char *cmd, vn_udpsignal_job_cb fn);
/* (end udpsignal) */

/* Embedded JVM (jvm) */
/* Without jvm-location every call returns at once: null, or 0 from detach.
 * class_id names the add-javaclass record; attach and detach use it only in
 * their messages, which go to the Java log ("java.log"). */
/* Detaches the calling thread: 0, or -1 on failure. */
int vn_jvm_detach_thread(const char *class_id);
#ifdef JNI_VERSION_1_2
/* The virtual machine, or null while there is none. */
JavaVM *vn_jvm_return_jvmhandle(void);
/* Attaches the calling thread: its environment, or null. */
JNIEnv *vn_jvm_attach_thread(const char *class_id);
/* The one instance of classname made by its no-argument constructor on first
 * use and kept for class_id: a global reference, shared by every thread. */
jobject vn_jvm_load_class(JNIEnv *env, const char *class_id, const char *classname);
/* A new instance of the record's class made by its class loader (the
 * record's class path; the caller owns the local reference returned). */
jobject vn_jvm_return_object(const char *class_id, JNIEnv *env);
/* The same with another loader class and its loading method, which takes the
 * class name and returns the object. */
jobject vn_jvm_return_object_withloader(const char *class_id, JNIEnv *env, const char *loader, const char *run);
#endif
/* (end jvm) */

/* Fields and quix64 (fields, quix64) */
/* quix64 digits: 0-9, A-Z, a-z, '-', '_' for 0 .. 63. Values out of range give '\0'. */
char vn_quix64_map(int value);
char vn_quix64_hi(int value); /* high digit of a 12-bit value */
char vn_quix64_lo(int value); /* low digit of a 12-bit value */
/* The value of a digit string; "" is 0; -1 for a non-digit or a value above INT_MAX. */
int vn_quix64_decode(const char *text);
/* (end fields) */

/* Object image cache store (codelibrary/cache) */
/* What an object keeps between two deltas; pages treat FIELDS and VALUE alike. */
typedef enum {
    VNCACHE_DELTA_NONE = 0,   /* no delta kept */
    VNCACHE_DELTA_FIELDS = 1, /* every field received since the last delta */
    VNCACHE_DELTA_VALUE = 2   /* only the fields whose value changed */
} tarvelutil_vncache_delta_mode;

struct _cachefuncs;

/* The cached image of one object. */
typedef struct _tarvelutil_vncache {
    char *name;                          /* the subject, as stored */
    int type;                            /* 200 until the first record */
    void *data;                          /* the type's store */
    const struct _cachefuncs *funcs;
    tarvelutil_vncache_delta_mode delta;
} tarvelutil_vncache_t;

/* The operations of one object type. retrieve and get_delta return a new
 * record the caller frees, or null; compare gives 0 when equal, else 1 with
 * a message in text. */
typedef struct _cachefuncs {
    void (*create)(tarvelutil_vncache_t *object);
    void (*update)(tarvelutil_vncache_t *object, vn_data_t *data);
    vn_data_t *(*retrieve)(tarvelutil_vncache_t *object);
    vn_data_t *(*get_delta)(tarvelutil_vncache_t *object);
    void (*del)(tarvelutil_vncache_t *object); /* the delete slot */
    int (*compare)(tarvelutil_vncache_t *expected, tarvelutil_vncache_t *got, char *text, size_t size);
} cachefuncs_t;

/* Registers the page (221), record (222) and untyped (200) tables; returns 0. */
int tarvelutil_vncache_init(struct _vn_log *log);
tarvelutil_vncache_t *tarvelutil_vncache_create_withmode(const char *name, tarvelutil_vncache_delta_mode delta);
/* A record of another type than the object's is ignored once the object has a type. */
void tarvelutil_vncache_update(tarvelutil_vncache_t *object, vn_data_t *data);
/* The whole image (flags 0x1030) or the changes since the last delta (flags 0x30); null when none. */
vn_data_t *tarvelutil_vncache_retrieve(tarvelutil_vncache_t *object);
vn_data_t *tarvelutil_vncache_get_delta(tarvelutil_vncache_t *object);
void tarvelutil_vncache_delete(tarvelutil_vncache_t *object);

/* Comparisons: 0 when equal, else 1 with a readable message in text (size bytes). */
int tarvelutil_vncache_compare(tarvelutil_vncache_t *expected, tarvelutil_vncache_t *got, char *text, size_t size);
/* Field by field in order. */
int tarvelutil_vncache_compare_vndata(const vn_data_t *expected, const vn_data_t *got, char *text, size_t size);
/* In any order; the field counts must match. */
int tarvelutil_vncache_compare_vndata_out_of_order(const vn_data_t *expected, const vn_data_t *got, char *text,
                                                   size_t size);
/* In any order; every expected field must be present. */
int tarvelutil_vncache_compare_vndata_present(const vn_data_t *expected, const vn_data_t *got, char *text,
                                              size_t size);
/* (end cache) */

/* Wire packets (pkt) */
/* Message types: the 16-bit type of the frame that carries a payload. */
#define VN_DATAUPDATE16 1 /* data update, 16-bit field heads; accepted, never sent */
#define VN_NODATA 2
#define VN_SUBJREQ 3
#define VN_SUBJDSC 4
#define VN_PEERINFO 5
#define VN_STATUS 6
#define VN_HEARTBEAT 7
#define VN_DATAUPDATE 8 /* data update, 32-bit field heads with flags */

/* No-data reasons: the flags of a VN_NODATA record. */
#define VN_NODATA_NOTFOUND 1
#define VN_NODATA_READDENY 2
#define VN_NODATA_WRITEDENY 3
#define VN_NODATA_DELETEOBJECT 4
#define VN_NODATA_UNAVAILABLE 5

typedef struct _vn_hbtpkt {
    uint16_t flags;
    int16_t period; /* the sender's heartbeat period in seconds; -1: none */
} vn_hbtpkt_t;

typedef struct _vn_statuspkt {
    uint16_t seq;
    uint16_t flags;
    uint16_t type;
    char *name;   /* the subject */
    char *msgstr; /* may be NULL on a record to be sent */
} vn_statuspkt_t;

typedef struct _vn_reqpkt {
    uint16_t flags;
    uint16_t type;
    uint16_t count;
    char **subjects; /* a parsed record owns the texts; a pending list only borrows them */
} vn_reqpkt_t;

typedef struct _vn_infopkt {
    uint16_t flags;
    uint16_t type;
    uint16_t id;
    char *name;
    uint16_t val;
    char *data; /* may be NULL */
} vn_infopkt_t;

vn_hbtpkt_t *vn_new_hbtpkt(int16_t period, uint16_t flags);
vn_reqpkt_t *vn_new_reqpkt(uint16_t type, uint16_t flags);
vn_statuspkt_t *vn_new_statuspkt(const char *subject, uint16_t type, uint16_t flags, const char *msgstr);
vn_infopkt_t *vn_new_infopkt(uint16_t id, const char *name, uint16_t type, uint16_t flags);
vn_datapkt_t *vn_new_datapkt(const char *subject, uint16_t type, uint16_t flags);

/* Appends a copy of value; a record holds at most 65535 fields, further ones are dropped. */
void vn_datapkt_add_field_with_flags(vn_datapkt_t *pkt, int fieldnum, const char *value, uint16_t flags);
void vn_datapkt_add_field(vn_datapkt_t *pkt, int fieldnum, const char *value);

/* The _data forms release what the record owns; the plain forms the record too. */
void vn_free_hbtpkt(vn_hbtpkt_t *pkt);
void vn_free_statuspkt_data(vn_statuspkt_t *pkt);
void vn_free_statuspkt(vn_statuspkt_t *pkt);
void vn_free_reqpkt_data(vn_reqpkt_t *pkt);
void vn_free_reqpkt(vn_reqpkt_t *pkt);
void vn_free_infopkt_data(vn_infopkt_t *pkt);
void vn_free_infopkt(vn_infopkt_t *pkt);
void vn_free_datapkt_data(vn_datapkt_t *pkt);
void vn_free_datapkt(vn_datapkt_t *pkt);

/* Serialisers: *len holds the capacity on entry and the payload length on
 * return. A length above the capacity means nothing was written: serialise
 * again into that many bytes. NULL with length 0: the record cannot travel
 * (a text of 65536 bytes or more, a value of 2^31 bytes or more). The request
 * serialiser never needs more: it lowers the record's count to the subjects
 * that fit. */
unsigned char *vn_hbtpkt_serialise(const vn_hbtpkt_t *pkt, unsigned char *buf, size_t *len);
unsigned char *vn_statuspkt_serialise(const vn_statuspkt_t *pkt, unsigned char *buf, size_t *len);
unsigned char *vn_reqpkt_serialise(vn_reqpkt_t *pkt, unsigned char *buf, size_t *len);
unsigned char *vn_infopkt_serialise(const vn_infopkt_t *pkt, unsigned char *buf, size_t *len);
unsigned char *vn_datapkt_serialise(const vn_datapkt_t *pkt, unsigned char *buf, size_t *len);

/* Parsers: 0 (the record owns fresh copies), -2 (the payload is shorter than
 * its head or a length it announces) or -1 (a broken list of subjects or
 * fields; nothing is left allocated). vn_datapkt_parse reads 32-bit field heads
 * for VN_DATAUPDATE and 16-bit ones for any other message type. */
int vn_hbtpkt_parse(vn_hbtpkt_t *pkt, const unsigned char *buf, size_t len);
int vn_statuspkt_parse(vn_statuspkt_t *pkt, const unsigned char *buf, size_t len);
int vn_reqpkt_parse(vn_reqpkt_t *pkt, const unsigned char *buf, size_t len);
int vn_infopkt_parse(vn_infopkt_t *pkt, const unsigned char *buf, size_t len);
int vn_datapkt_parse(vn_datapkt_t *pkt, int msgtype, const unsigned char *buf, size_t len);
/* (end pkt) */

/* SSL set-up (ssl) */
/* Finds a certificate, key or key file: the name expanded as a file-name
 * pattern, else "etc/" and the name. Returns the resolved name, valid on the
 * calling thread until its next call; a file that cannot be found is
 * reported and ends the process with exit code 8. kind: 0 http file, 1
 * sign-on key file (key_id names its group), 2 SSL file. */
const char *vn_ssl_find_file(const char *name, const char *message, int kind, const char *key_id);
/* (end ssl) */

/* Sign-on tokens (signature) */
/* One accepted token, kept in the replay table until it expires. */
typedef struct _signature {
    char *key_id;
    char *token;        /* the signature part, decoded and encoded again as standard base64 */
    time_t expire_time; /* the first second at which the token counts as expired */
    vn_timed_event_t *tev; /* the pending expiry timer, NULL once it has fired */
} signature_t;

typedef void (*vn_signature_cb_t)(signature_t *sig);
typedef void (*vn_signature_foreach_cb_t)(void *context, signature_t *sig);

/* Checks a token "signature~stamp~text" for a key id: 0 accepted, 1
 * rejected, 2 unknown key id or no "~" in the token, 3 already used. The
 * signature part is cleaned in place ("====" groups at its end dropped, "_"
 * read as "/"). A token is accepted once within its valid time; add_cb, when
 * set, gets the new replay entry. A token whose signature has not verified
 * is logged as "********", since it may be a password. Any thread. */
int vn_signature_check_with_cb(const char *key_id, char *token, vn_signature_cb_t add_cb);
int vn_signature_check(const char *key_id, char *token);
/* 0 when the token ends with "~" and exactly that name, else 1 (logged with
 * the token masked). It does not verify the token. */
int vn_signature_verify_username(const char *expected, const char *token);
/* Keeps sig (allocated with vn_malloc, texts too) in the replay table until
 * its expire time, then calls del_cb and frees it; with an equal entry
 * present the old one stays and sig is freed at once. */
void vn_signature_add(signature_t *sig, vn_signature_cb_t add_cb, vn_signature_cb_t del_cb);
/* Calls callback for every entry of the replay table. */
void vn_signature_foreach(vn_signature_foreach_cb_t callback, void *context);
/* (end signature) */

/* Message queues (msgq) */
struct ssl_st; /* an OpenSSL connection */

/* One framed message handed to a send operation or to a read callback; the
 * caller owns it. */
typedef struct _vn_msg {
    uint16_t type;
    uint32_t len;       /* payload length */
    unsigned char *msg; /* the payload */
    void *ptr;          /* spare: the queue neither sets nor reads it */
    char closed;        /* 1 in the message that reports a lost connection */
} vn_msg_t;

typedef struct _vn_msgq vn_msgq_t;

/* Result 0: the callback is done with the queue, which the queue then frees;
 * -1: the queue was passed to another thread and dispatching stops at once;
 * anything else: go on with the next frame. */
typedef int (*vn_msgq_read_cb)(vn_msgq_t *queue, vn_msg_t *msg, int val, void *data);

vn_msgq_t *vn_new_msgq(sock_t fd, int flags, vn_msgq_read_cb cb, struct ssl_st *ssl, int val, void *data);
void vn_close_msgq(vn_msgq_t *queue);
void vn_free_msgq(vn_msgq_t *queue);
int vn_msgq_send_msg(vn_msgq_t *queue, vn_msg_t *msg);
int vn_msgq_send_msg_stream(vn_msgq_t *queue, vn_msg_t *msg);
int vn_msgq_send_msg_stream_buffer(vn_msgq_t *queue, vn_msg_t *msg);
/* Writes one frame at once ahead of anything buffered: 0 when all of it was written, else -1.
 * An SSL queue writes it only on its owner's thread, record by record; elsewhere nothing is
 * written. A frame the socket takes only in part ends the link; what is queued waits, whole,
 * for the next one. Frames that waited before the call are left where they are: a handshake
 * may attach the write side, send its frame this way and detach again. */
int vn_msgq_send_msg_stream_oob(vn_msgq_t *queue, vn_msg_t *msg);
int vn_msgq_send_msg_dgram(vn_msgq_t *queue, vn_msg_t *msg);
int vn_msgq_dgram_set(vn_msgq_t *queue, const char *addr, int port, const char *laddr, int lport);
void vn_msgq_read_socket_set(vn_msgq_t *queue, sock_t fd, struct ssl_st *ssl);
void vn_msgq_write_socket_set(vn_msgq_t *queue, sock_t fd, struct ssl_st *ssl);
void vn_msgq_write_queue_set(vn_msgq_t *queue, int max);
void vn_msgq_callback_set(vn_msgq_t *queue, vn_msgq_read_cb cb, int val, void *data);
void vn_msgq_callback_set_from_event(vn_msgq_t *queue, vn_msgq_read_cb cb, int val, void *data, vn_read_event_t *ev);
void vn_msgq_copy_queue(vn_msgq_t *dest, vn_msgq_t *src);
/* Frees the queued frames but the bytes the connection is already bound to: the rest of a
 * frame a write cut, and on SSL a record awaiting its retry. */
void vn_msgq_clear_write_queue(vn_msgq_t *queue);
/* 0 when everything was written, 1 when something is left, which the owner's loop writes:
 * on the owner's thread a write watch now waits for it; another thread (which may run no
 * loop) leaves it to the owner's watch or wakes the owner, and never writes an SSL queue. */
int vn_msgq_flush_write_queue(vn_msgq_t *queue);
/* Mask of what was removed: 1 read watch, 2 write watch, 4 batch timer, 8 monitoring timer. */
int vn_msgq_remove_from_thread(vn_msgq_t *queue);
void vn_msgq_add_to_thread(vn_msgq_t *queue, int mask);
/* (end msgq) */

/* Peers (peer) */
typedef uint32_t vnset_element_t;

/* A set of peers: peer n is bit n % 32 of word n / 32. */
typedef struct _vn_set {
    vnset_element_t bits[32];
} vn_set_t;

int vn_iszero(const vn_set_t *set);
void vn_or(const vn_set_t *p1, const vn_set_t *p2, vn_set_t *o);
void vn_and(const vn_set_t *p1, const vn_set_t *p2, vn_set_t *a);
int vn_and_iszero(const vn_set_t *p1, const vn_set_t *p2);
int vn_and3_iszero(const vn_set_t *p1, const vn_set_t *p2, const vn_set_t *p3);
int vn_isequal(const vn_set_t *p1, const vn_set_t *p2);

/* The peer count, set at start-up. */
extern int vn_num_peers;

/* Accessors by peer number; a number outside the table gives -1, NULL or 0.
 * A remote name or address text handed out (vn_peer_details,
 * vn_peer_host_details, vn_peer_name) stays valid until that peer's text has
 * changed 15 more times; copy it to keep it longer. */
int vn_peer_details(int peer, char **name);
int vn_peer_host_details(int peer, char **addr);
int vn_peer_id(int peer);
char *vn_peer_name(int peer);
int vn_peer_flags(int peer);
int vn_peer_type(int peer);
int vn_peer_local_type(int peer);
int vn_peer_enabled_state(int peer);
int vn_peer_up(int peer);
char *vn_peer_label_byindex(int index);
int vn_peer_by_label(const char *label);
int vn_peer_all_type(int flag);
/* Lowers the most peers a process may have; effective before start-up. */
void vn_decrement_peers(int num);
/* Runs callback_func(type, param) on the peer's thread and waits for it. */
void vn_peer_send_message(int peer, int type, void *param, tarvelutil_signalmain_cb_t callback_func);

/* Take a peer, or the whole process, up or down; from any thread. */
void vn_set_status_up_to_peer(int peer);
void vn_set_status_down_to_peer(int peer);
void vn_set_status_up(void);
void vn_set_status_down(void);
/* Peer status messages: a PEERINFO with flags 0x0400 and type 0x0100. */
void vn_set_status_msg_to_peer(int peer, uint16_t msgid, const char *msgstr);
void vn_set_status_msg(uint16_t msgid, const char *msgstr);
/* (end peer) */

#ifdef __cplusplus
}
#endif

#endif /* VANTRIX_EXTRA_H */
