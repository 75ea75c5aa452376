/*
 * vantrix.h: the Vantro SDK interface an adapter calls.
 *
 * A plain C interface: C types, fixed layouts, result codes. Everything else
 * the library offers (containers, logs, packets, monitoring, ...) is in
 * vantrix_extra.h.
 */
#ifndef VANTRIX_H
#define VANTRIX_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Version */
#define VANTRIX_MAJOR_VERSION 5
#define VANTRIX_MINOR_VERSION 2

/* Common types */
typedef int sock_t;

typedef struct _vn_list {
    struct _vn_list *next;
    struct _vn_list *prev;
} vn_list_t;

/* Memory (memory) */
void *vn_malloc(size_t size);
void *vn_calloc(size_t nmemb, size_t size);
void *vn_realloc(void *ptr, size_t size);
char *vn_strdup(const char *text);
void vn_free(void *ptr);
/* (end memory) */

/* Configuration (config) */
/* Option type codes; the flags are added to the code. */
#define VN_CONFIG_BOOL 1
#define VN_CONFIG_INT 2
#define VN_CONFIG_DOUBLE 3
#define VN_CONFIG_STRING 4
#define VN_CONFIG_CHAR 5
#define VN_CONFIG_FUNCTION 6
#define VN_CONFIG_FILE 7
#define VN_CONFIG_GROUP 16
#define VN_CONFIG_END_GROUP 17
#define VN_CONFIG_SECTION 32
#define VN_CONFIG_END_SECTION 33
#define VN_CONFIG_ARRAY 0x100      /* array of an int, double, string or char element */
#define VN_CONFIG_STRICT 0x200     /* only the enumeration's values, no modifiers */
#define VN_CONFIG_DEPRECATED 0x400 /* every setting is reported */
#define VN_CONFIG_PRIVATE 0x800    /* left out of the option documentation */

/* One row of an enumeration table; a table ends with a row whose name is NULL. */
typedef struct _vn_config_enum {
    const char *name;
    double value;
    const char *docstring;
} vn_config_enum_t;

typedef struct _config_ctx vn_config_ctx_t;

/* A function option (type 6): called with its name and the value split into words. */
typedef void (*vn_config_func_t)(const char *name, int count, char **words);

/*
 * Registration appends to the open group, the open section or the top-level
 * list. Inside a group `value` (and an array's `count`) is the byte offset of
 * the field in the group's record; elsewhere it is the variable's address. A
 * string variable holds text from vn_malloc (or NULL) and is freed when it is
 * replaced. Bounds are int or double according to the type and are copied.
 */
void vn_config_add_option(char opt, const char *longopt, const char *help, int type, void *value);
void vn_config_add_option_enum(char opt, const char *longopt, const char *help, int type, void *value,
                               const vn_config_enum_t *enums);
void vn_config_add_bounded_option(char opt, const char *longopt, const char *help, int type, void *value,
                                  const void *min, const void *max);
void vn_config_add_bounded_option_enum(char opt, const char *longopt, const char *help, int type, void *value,
                                       const vn_config_enum_t *enums, const void *min, const void *max);
void vn_config_add_array_option(const char *longopt, const char *help, int type, void *value, int *count);
void vn_config_add_array_option_enum(const char *longopt, const char *help, int type, void *value, int *count,
                                     const vn_config_enum_t *enums);
void vn_config_add_bounded_array_option(const char *longopt, const char *help, int type, void *value, int *count,
                                        const void *min, const void *max);
void vn_config_add_bounded_array_option_enum(const char *longopt, const char *help, int type, void *value,
                                             int *count, const vn_config_enum_t *enums, const void *min,
                                             const void *max);
void vn_config_add_group(const char *longopt, const char *help, void *base, const void *template_record,
                         size_t size, int *num);
void vn_config_end_group(const char *longopt, const char *help);
void vn_config_add_section(const char *longopt, const char *help);
void vn_config_end_section(const char *longopt, const char *help);

vn_config_ctx_t *vn_config_new_ctx(void);
vn_config_ctx_t *vn_config_set_ctx(vn_config_ctx_t *ctx);
void vn_config_free_ctx(vn_config_ctx_t *ctx);

void vn_config_set_option(const char *name, const char *text);
int vn_config_get_enum(const char *text, const vn_config_enum_t *table);
void vn_config_parse_args(int argc, char **argv, int *kept);
/* (end config) */

/* Start-up (vantrix) */
struct _vn_log;
struct _vn_data;

typedef void (*recv_request_t)(int peer, int count, char **subjects, uint16_t flags);
typedef void (*recv_discard_t)(int peer, int count, char **subjects, uint16_t flags);
typedef void (*recv_update_t)(int peer, struct _vn_data *data);
typedef void (*recv_nodata_t)(int peer, char *subject, uint16_t flags);
typedef void (*recv_peer_status_t)(int peer, int status, int value, void *data);
typedef void (*recv_object_status_t)(int peer, char *subject, int state, uint16_t code, char *message);
typedef void (*recv_service_status_t)(char *service, int state);
typedef void (*vn_exit_func_t)(int32_t code, const char *text);

/* The application's start-up record; vn_init keeps it by pointer and fills
 * in the name, root and event log. */
typedef struct _vn_init {
    char *application_name;
    char *application_root;
    char *log_root;
    uint16_t flags;
    uint16_t type;
    recv_request_t recv_request;
    recv_discard_t recv_discard;
    recv_update_t recv_update;
    recv_nodata_t recv_nodata;
    recv_peer_status_t recv_peer_status;
    recv_object_status_t recv_object_status;
    recv_service_status_t recv_service_status;
    vn_exit_func_t exit_func;
    char *logfile;
    struct _vn_log *log;
} vn_init_t;

void vn_config_init(const char *file, int argc, char **argv);
int vn_init(vn_init_t *init, int argc, char **argv);
const char *vn_get_app_name(void);
const char *vn_get_hostname(void);
struct _vn_log *vn_get_event_log(void);
int vn_daemon_disabled(void);
void vn_daemon_redirect(void);
char *vn_filename_expand(const char *format, char *buffer, size_t bufsize);
/* (end vantrix) */

/* Event loop (event) */
/* Callback results: 1 keeps the event, -1 stops it but keeps the handle until
 * it is deleted, anything else ends and frees it. */
typedef int (*vn_timed_event_cb)(int id, int value, void *data);
typedef int (*vn_io_event_cb)(sock_t socket, int value, void *data);
/* Disposes of an event's value and pointer when it is deleted. */
typedef void (*vn_event_free_cb)(int value, void *data);

typedef struct _vn_timed_event vn_timed_event_t;
typedef struct _vn_read_event vn_read_event_t;
typedef struct _vn_write_event vn_write_event_t;
typedef struct _vn_except_event vn_except_event_t;

void vn_loop(void);
void vn_stop(void);
int vn_thread_init(int event_module, int flags);

vn_timed_event_t *vn_add_timed_event(int id, double delay, vn_timed_event_cb cb, int value, void *data);
vn_timed_event_t *vn_add_periodic_event(int starttime, int period, int id, vn_timed_event_cb cb, int value,
                                        void *data);
vn_timed_event_t *vn_add_periodic_event_from_time(time_t then, int starttime, int period, int id,
                                                  vn_timed_event_cb cb, int value, void *data);
int vn_check_periodic_event(int period, vn_timed_event_t **tev);
void vn_set_timed_delay(vn_timed_event_t *ev, double delay);
void vn_set_timed_delay_next(vn_timed_event_t *ev, double delay);
void vn_timed_event_set_callback(vn_timed_event_t *ev, vn_timed_event_cb cb, int value, void *data);
/* Deletes work from any thread: from another one they are posted to the
 * owner's loop. 0 when that loop has no call channel to post through: the
 * event is left as it is and the refusal is logged. */
int vn_del_timed_event(vn_timed_event_t *ev);
int vn_del_timed_event_free_data(vn_timed_event_t *ev, vn_event_free_cb free_data);

vn_read_event_t *vn_add_read_event(sock_t fd, vn_io_event_cb cb, int value, void *data);
vn_write_event_t *vn_add_write_event(sock_t fd, vn_io_event_cb cb, int value, void *data);
vn_except_event_t *vn_add_except_event(sock_t fd, vn_io_event_cb cb, int value, void *data);
void vn_read_event_set_callback(vn_read_event_t *ev, vn_io_event_cb cb, int value, void *data);
void vn_write_event_set_callback(vn_write_event_t *ev, vn_io_event_cb cb, int value, void *data);
int vn_del_read_event(vn_read_event_t *ev);
int vn_del_write_event(vn_write_event_t *ev);
int vn_del_except_event(vn_except_event_t *ev);
int vn_del_read_event_free_data(vn_read_event_t *ev, vn_event_free_cb free_data);
int vn_del_write_event_free_data(vn_write_event_t *ev, vn_event_free_cb free_data);
int vn_del_except_event_free_data(vn_except_event_t *ev, vn_event_free_cb free_data);

time_t vn_get_time(void);
uint64_t vn_get_relative_time(void);
struct tm *vn_localtime(void);
struct tm *vn_gmtime(void);
int vn_get_gmt_offset(time_t t);
char *vn_get_timezone(char *buf, int len);
/* (end event) */

/* Logs (log) */
/* (end log) */

/* UDP commands (udpsignal) */
/* A handler for one command word: argv[0] is the word itself. Returning 0
 * removes the handler after this call; anything else keeps it. */
typedef int (*vn_udp_event_cb)(int argc, char **argv, int val, void *data);
typedef struct _vn_udp_event vn_udp_event_t;

/* The word is matched without regard to case; every handler of a word runs.
 * NULL for a null callback. Any thread. */
vn_udp_event_t *vn_add_udp_event(const char *command, vn_udp_event_cb cb, int val, void *data);
void vn_del_udp_event(vn_udp_event_t *event);
/* Sends a command to this process itself; it runs on the init thread's loop.
 * Never waits for that loop: commands the pipe has no room for wait, in
 * order, until it drains. 0 when the command will run; -1 when the text does
 * not fit a 2048-byte message, when 1 MB of commands are already waiting, or
 * when it cannot be sent. */
int vn_udpsignal_send(const char *message);
/* The command and the words of a null-ended list, joined by blanks and cut to
 * fit one message. */
int vn_udpsignal_send_argv(const char *command, char **argv);
/* (end udpsignal) */

/* Fields (fields) */
/* The process-wide field table. Failed lookups give INT_MIN for numbers and
 * indexes and NULL for texts. */
/* Adds a field and returns its index (that of an entry with the same name and
 * number when there is one); num INT_MIN asks for an automatic number (65535
 * upward). INT_MIN when the table is full or num is outside -65535 .. 65535. */
int vn_fields_add(int num, const char *name, int flags, int dp, const char *fmt);
int vn_fields_max(void);
const char *vn_fields_namebynum(int num);
int vn_fields_indexbynum(int num);
int vn_fields_numbyname(const char *name);
int vn_fields_indexbyname(const char *name);
int vn_fields_numbyindex(int index);
const char *vn_fields_namebyindex(int index);
const char *vn_fields_quixnumbyindex(int index);
int vn_fields_quixnumlenbyindex(int index); /* 0 when not found */
int vn_fields_getflags(int index);          /* 0 when not found */
int vn_fields_getdp(int index);             /* -1 when not found */
/* (end fields) */

/* Data records (record, page, container, permission, api) */
/* One field of a record: every value travels as text. */
typedef struct _vn_field {
    int32_t fieldnum;
    int32_t len;     /* value length without its terminator */
    char *value;     /* owned, NUL-terminated */
    uint16_t flags;  /* 1 on a container position field; the low 15 bits travel */
} vn_field_t;

/* The data record: every update, image, no-data notice and status rides in one. */
typedef struct _vn_data {
    uint16_t seq;        /* stamped by the senders */
    uint16_t flags;      /* 0x1000: the record replaces the whole object */
    uint16_t type;       /* 221 page, 222 record, 228 container, 230 permission, 0 no data */
    char *subject;       /* owned */
    uint16_t count;      /* fields in use */
    vn_field_t *fields;  /* owned; capacity a multiple of 10, NULL while empty */
    time_t time;         /* send-event marker of the _no_free senders (9999); never travels */
} vn_data_t;

typedef vn_data_t vn_datapkt_t;

/* Record life: subjects are name-mapped when stored; the caller owns the record. */
vn_data_t *vn_init_data(const char *subject, uint16_t type, uint16_t flags);
void vn_set_subject(vn_data_t *data, const char *subject);
void vn_free_data(vn_data_t *data);

/* Adders: every value is stored as text; none reports failure. */
void vn_add_data(vn_data_t *data, int fieldnum, const char *value);
void vn_add_data_str(vn_data_t *data, int fieldnum, const char *value);
void vn_add_data_char(vn_data_t *data, int fieldnum, char value);
/* The printf result, cut to 255 characters. */
void vn_add_data_fmt(vn_data_t *data, int fieldnum, const char *format, ...) __attribute__((format(printf, 3, 4)));
/* Formatted with the field's format for the type; no field without a usable format. */
void vn_add_data_float32(vn_data_t *data, int fieldnum, float value);
void vn_add_data_float64(vn_data_t *data, int fieldnum, double value);
void vn_add_data_int8(vn_data_t *data, int fieldnum, int8_t value);
void vn_add_data_int16(vn_data_t *data, int fieldnum, int16_t value);
void vn_add_data_int32(vn_data_t *data, int fieldnum, int32_t value);
void vn_add_data_int64(vn_data_t *data, int fieldnum, int64_t value);

/* By-name adders: the field number, or INT_MIN (nothing added) for an unknown name. */
int vn_add_record_str(vn_data_t *data, const char *name, const char *value);
/* The printf result, cut to 1023 characters. */
int vn_add_record_fmt(vn_data_t *data, const char *name, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vn_add_record_float(vn_data_t *data, const char *name, double value);
int vn_add_record_char(vn_data_t *data, const char *name, char value);
int vn_add_record_int(vn_data_t *data, const char *name, int value);

/* Pages (type 221): row text at (col << 8) | row, page fields at fieldnum | 0xC000.
 * With flags 0x1000 the page starts with its size field, (cols << 8) + rows,
 * whose value is the page type ("218" for 14 x 64 and "25" otherwise when none). */
vn_data_t *vn_init_page(const char *subject, int rows, int cols, const char *type, uint16_t flags);
void vn_add_page_row(vn_data_t *data, int row, int col, const char *text);
void vn_add_page_field(vn_data_t *data, int fieldnum, const char *text);
/* An unknown name adds nothing. */
void vn_add_page_field_by_name(vn_data_t *data, const char *name, const char *text);

/* Containers (type 228): lists of member subjects. */
vn_data_t *vn_init_container(const char *subject, uint16_t flags);
void vn_add_container_symbol(vn_data_t *data, const char *symbol);
void vn_add_container_symbol_and_request(vn_data_t *data, const char *symbol, int request);
void vn_remove_container_symbol(vn_data_t *data, const char *symbol);
void vn_cleardown_container_with_prefix(vn_data_t *data, const char *prefix);
void vn_add_container_symbol_at_position(vn_data_t *data, int position, const char *symbol);

/* Permissions (type 230): a key, when given, is field 1. */
vn_data_t *vn_init_permission(const char *subject, const char *key, uint16_t flags);
void vn_add_permission_key(vn_data_t *data, const char *key);

/* (end record) */

/* Latency chains (lty_chain) */
/* With chains on, a record that carries the initial timestamp field gets an
 * event name (the chain name, "_" and a suffix letter) and the milliseconds
 * since that timestamp appended to the event and timestamp list fields. */
int vn_latency_chain_enable(void);
const char *vn_latency_chain_name(void); /* expanded at start-up */
const char *vn_latency_chain_init_ts_field(void);
const char *vn_latency_chain_list_event_field(void);
const char *vn_latency_chain_list_ts_field(void);
/* Non-zero when latency-chain-base64-mode has the decode (1), detect (2) or encode (4) bit. */
int vn_latency_chain_base64_decode(void);
int vn_latency_chain_base64_detect(void);
int vn_latency_chain_base64_encode(void);
/* Appends one event; millis 0 means now. A record without the initial
 * timestamp is left as it is. */
void vn_add_latency_chain(vn_data_t *data, char suffix, int64_t millis);
/* Appends two events in one step; only millis2 0 means now. */
void vn_add_latency_chain2(vn_data_t *data, char suffix, int64_t millis, char suffix2, int64_t millis2);
/* (end lty_chain) */

/* Senders (api): each public send goes through a replaceable pointer that
 * starts at the direct sender; the consuming forms free the record, the
 * _no_free forms leave it to the caller. Peer -1 means all peers. */
typedef void (*vn_send_data_func_t)(vn_data_t *data);
typedef void (*vn_send_nodata_func_t)(const char *subject, uint16_t flags);
typedef void (*vn_send_status_func_t)(const char *subject, uint16_t flags, uint16_t code, const char *message);

extern vn_send_data_func_t vn_send_data_func;
extern vn_send_nodata_func_t vn_send_nodata_func;
extern vn_send_status_func_t vn_send_status_func;

void vn_send_data(vn_data_t *data);
void vn_send_nodata(const char *subject, uint16_t flags);
void vn_send_status(const char *subject, uint16_t flags, uint16_t code, const char *message);
void vn_send_data_direct(vn_data_t *data);
void vn_send_data_no_free(vn_data_t *data);
void vn_send_data_to_peer(int peer, vn_data_t *data);
void vn_send_data_to_peer_no_free(int peer, vn_data_t *data);
void vn_send_nodata_direct(const char *subject, uint16_t flags);
void vn_send_nodata_to_peer(int peer, const char *subject, uint16_t flags);
void vn_send_status_direct(const char *subject, uint16_t flags, uint16_t code, const char *message);
void vn_send_status_to_peer(int peer, const char *subject, uint16_t flags, uint16_t code, const char *message);
/* (end senders) */

/* Data services (advmap) */
/*
 * Subjects are given in the application's namespace and name-mapped before
 * routing. A subject no service takes is not tracked. Service names returned
 * belong to the services and live as long as the process.
 *
 * Threads: requests run on the init thread; from another thread the call
 * waits until the init thread has run it. A callback that runs on the init
 * thread (the default) may call any function of this group, but must not wait
 * for a peer's thread (vn_peer_send_message): that thread may itself be
 * waiting for the callback. With enable-threaded-callbacks, callbacks run on
 * the peers' threads, several at once.
 */
/* Requests num subjects and returns num (0 when no service runs). With
 * services not null, *services gets an array (the caller frees it) holding
 * per subject the name of the service that handles it, or NULL. */
int vn_request_objects_with_flags(int num, char **names, int flags, const char ***services);
int vn_request_objects(int num, char **names, const char ***services);
/* The name of the service that handles the subject, or NULL. */
const char *vn_request_object_with_flags(const char *name, int flags);
const char *vn_request_object(const char *name);
/* Discards tell the requested peers; a purge only forgets the subject. */
void vn_discard_objects(int num, char **names);
void vn_discard_object(const char *name);
void vn_purge_object(const char *name);
/* The service whose patterns take the subject, or NULL. */
const char *vn_get_service(const char *name);
/* The application's pointer of a subject a service takes; a tracker holding
 * one outlives discards and timeouts, emptied, until the next request. */
void vn_set_object_data(const char *name, void *data);
void *vn_get_object_data(const char *name);
/* The labels of the peers asked for the subject (the caller frees the array,
 * not the labels), their count in *ret; NULL when the subject is not tracked. */
const char **vn_get_request_hints(const char *name, int *ret);
/* Prefers the peers of these labels for the subject; returns how many were taken. */
int vn_set_request_hint(const char *name, int num, char **hints);
/* -1 no service, -2 not an active service; 3 a required and an optional
 * source reachable, 1 only required, 2 only optional; -3 none reachable but
 * every required peer up; 0 otherwise. */
int vn_object_available(const char *name);
/* -1 no service; 1 when a peer of the service accepts contributions, else 0. */
int vn_object_can_contrib(const char *name);
/* Sends the record (subject in the peers' namespace) to the providing peers
 * that accept contributions and frees it; returns how many it went to. */
int vn_send_contribution(vn_data_t *vndata);
/* The discard-timeout of the service of that name, -1.0 when there is none. */
double vn_get_service_active_discard_timeout(const char *service);
int vn_get_num_services(void);
/* The service's state (1 OK, 2 DOWN, 8 LIMITED) and its name; -1 for an index out of range. */
int vn_get_service_by_index(int index, const char **name_ptr);
/* 1 when every service meets its required-state; else 0 with the services
 * that do not listed in buf (cut to buflen). */
int vn_required_services_status(char *buf, int buflen);
/* (end advmap) */

/* Active cache (cache) */
/* With cache-objects on, makes the subject a permanent member of the cache
 * (an existing entry becomes one). */
void vn_cache_add_object(const char *name);
/* (end cache) */

/* Packet-log replay (replay) */
/* Receives one replayed update with its record's time stamp; the update is
 * valid only during the call. */
typedef void (*recv_replay_t)(int peer, vn_data_t *data, time_t stamp);

/* Each call replays on the calling thread and returns when done: 0, or -1
 * when a file could not be opened (the list forms: when any listed file could
 * not be opened, or when there is nothing to replay). Only updates for
 * configured peer numbers are handed on. An incomplete last record is cut off
 * the file. */
int vn_replay(recv_replay_t callback);
int vn_replay_from_file(recv_replay_t callback, const char *filename);
int vn_replay_from_log(recv_replay_t callback, struct _vn_log *log);
/* Nothing before the first record stamped t or later, every record from it on. */
int vn_replay_by_time(time_t t, recv_replay_t callback);
int vn_replay_by_time_from_log(time_t t, recv_replay_t callback, struct _vn_log *log);
int vn_replay_by_time_from_file(time_t t, recv_replay_t callback, const char *filename);
/* Nothing before the first update whose first field numbered fieldnum holds
 * value, every record from it on. */
int vn_replay_by_field(int fieldnum, const char *value, recv_replay_t callback);
int vn_replay_by_field_from_log(int fieldnum, const char *value, recv_replay_t callback, struct _vn_log *log);
int vn_replay_by_field_from_file(int fieldnum, const char *value, recv_replay_t callback, const char *filename);
/* (end replay) */

/* Delay channels (delay) */
/* A channel re-sends each record given to it a fixed delay after the batch
 * it joined closes, under the subject with the channel's prefix in front
 * (NULL: "/" and the delay, as "/2.5"). A batch closes every batch time (0:
 * delay-batch-time); the batch and send timers run on the init thread's loop.
 * The callback sends one record (the default: vn_send_data_no_free, or a
 * copy of the record to the active cache's sender when the cache is on); the
 * prefixed subject is valid only during the call. A channel made here never
 * frees the records given to it: the application frees a record once the
 * channel has sent it, after the callback for it has returned (not inside
 * it: the channel puts the subject back afterwards). */
typedef struct _vn_delay vn_delay_t;
typedef void (*vn_delay_send_cb)(void *callback_param, vn_data_t *data);

vn_delay_t *vn_new_delay(double delay_time, const char *prefix, double batch_time);
vn_delay_t *vn_new_delay_with_callback(double delay_time, const char *prefix, double batch_time, void *callback_param,
                                       vn_delay_send_cb callback_func);
/* Queues the record itself, not a copy; any thread may queue. */
void vn_delay_data(vn_delay_t *delay, vn_data_t *data);
/* (end delay) */

/* Typed binary encoding (binary) */
#include <sys/time.h>

/* Base64 (RFC 4648). encode: buf holds 4 * ceil(len / 3) + 1 characters; returns
 * the characters written with the terminator. decode: buf holds 3 * (strlen(text) / 4) + 1
 * bytes; returns the bytes decoded, followed by a zero byte. */
size_t vn_base64_encode(char *buf, const void *value, size_t len);
size_t vn_base64_decode(const char *text, unsigned char *buf);

/* Adders: one field holding the type letter and the base64 of the value's
 * big-endian bytes (a float32, b float64, c int8, d int16, e int32, f int64,
 * g uint8, h uint16, i uint32, j uint64, k string, l opaque, m time,
 * n time in milliseconds, o timeval). */
void vn_add_binary_float32(vn_data_t *data, int fieldnum, float value);
void vn_add_binary_float64(vn_data_t *data, int fieldnum, double value);
void vn_add_binary_int8(vn_data_t *data, int fieldnum, int8_t value);
void vn_add_binary_int16(vn_data_t *data, int fieldnum, int16_t value);
void vn_add_binary_int32(vn_data_t *data, int fieldnum, int32_t value);
void vn_add_binary_int64(vn_data_t *data, int fieldnum, int64_t value);
void vn_add_binary_uint8(vn_data_t *data, int fieldnum, uint8_t value);
void vn_add_binary_uint16(vn_data_t *data, int fieldnum, uint16_t value);
void vn_add_binary_uint32(vn_data_t *data, int fieldnum, uint32_t value);
void vn_add_binary_uint64(vn_data_t *data, int fieldnum, uint64_t value);
void vn_add_binary_time(vn_data_t *data, int fieldnum, time_t value);
void vn_add_binary_time_millis(vn_data_t *data, int fieldnum, int64_t value);
void vn_add_binary_timeval(vn_data_t *data, int fieldnum, struct timeval value);
void vn_add_binary_string(vn_data_t *data, int fieldnum, const char *text);
void vn_add_binary_opaque(vn_data_t *data, int fieldnum, const void *bytes, size_t len);
void vn_add_binary(vn_data_t *data, int fieldnum, const void *bytes, size_t len, char letter);

/* The same behind a prefix of plen bytes, copied as given. */
void vn_add_binary2_float32(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, float value);
void vn_add_binary2_float64(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, double value);
void vn_add_binary2_int8(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, int8_t value);
void vn_add_binary2_int16(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, int16_t value);
void vn_add_binary2_int32(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, int32_t value);
void vn_add_binary2_int64(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, int64_t value);
void vn_add_binary2_uint8(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, uint8_t value);
void vn_add_binary2_uint16(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, uint16_t value);
void vn_add_binary2_uint32(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, uint32_t value);
void vn_add_binary2_uint64(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, uint64_t value);
void vn_add_binary2_time(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, time_t value);
void vn_add_binary2_time_millis(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, int64_t value);
void vn_add_binary2_timeval(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, struct timeval value);
void vn_add_binary2_string(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, const char *text);
void vn_add_binary2_opaque(vn_data_t *data, const char *prefix, size_t plen, int fieldnum, const void *bytes,
                           size_t vlen);

/* Readers of the text after the type letter; missing bytes read as 0. */
double vn_get_binary_float64(const char *text);
float vn_get_binary_float32(const char *text);
uint64_t vn_get_binary_uint64(const char *text);
int64_t vn_get_binary_int64(const char *text);
uint32_t vn_get_binary_uint32(const char *text);
int32_t vn_get_binary_int32(const char *text);
uint16_t vn_get_binary_uint16(const char *text);
int16_t vn_get_binary_int16(const char *text);
uint8_t vn_get_binary_uint8(const char *text);
int8_t vn_get_binary_int8(const char *text);
/* (end binary) */

/* Managed-language accessors (api_dotnet) */
/* Plain calls for wrappers that cannot reach into the library's structures.
 * The record must be valid; an index outside 0 .. count - 1 gives null,
 * INT_MIN or 0 as stated. */
const char *vn_get_subject(vn_data_t *data);
/* Keeps the low 16 bits. */
void vn_set_flags(vn_data_t *data, int flags);
int vn_get_flags(vn_data_t *data);
int vn_get_type(vn_data_t *data);
int vn_get_num_fields(vn_data_t *data);
const char *vn_get_fieldvalue_atindex(vn_data_t *data, int index);
int vn_get_fieldnumber_atindex(vn_data_t *data, int index);
int vn_get_fieldflags_atindex(vn_data_t *data, int index);
/* The number of configured peers. */
int vn_get_num_peers(void);
/* Adds a field with the low 16 bits of flags. */
void vn_add_data_with_flags(vn_data_t *data, int fieldnum, const char *value, int flags);
/* Writes text and a newline to the event log at level. */
void vn_log_dotnet(int level, const char *text);

/* Receives every message of the event log with its level (flags included),
 * whatever the log's level. */
typedef void (*vn_dotnet_message_cb)(int level, const char *text);

/* vn_init for a wrapper: the runtime keeps a copy of init, whose event log
 * file (when init names one) is /dev/null, so that the messages reach
 * message_cb instead; init->log gets the event log. Returns what vn_init
 * returns. */
int vn_init_dotnet(vn_init_t *init, int argc, char **argv, vn_dotnet_message_cb message_cb);
/* (end api_dotnet) */

#ifdef __cplusplus
}
#endif

#endif /* VANTRIX_H */
