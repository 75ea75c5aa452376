/*
 * vantrix_private.h: what the library's modules share outside the public
 * interface. Each module's group is opened by a one-line comment; names that
 * cross modules carry a leading underscore.
 */
#ifndef VANTRIX_PRIVATE_H
#define VANTRIX_PRIVATE_H

#include "vantrix.h"
#include "vantrix_extra.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Circular doubly linked lists: an empty head points at itself. */
static inline void _vn_list_init(vn_list_t *head)
{
    head->next = head;
    head->prev = head;
}

static inline int _vn_list_empty(const vn_list_t *head)
{
    return head->next == head;
}

static inline void _vn_list_insert(vn_list_t *link, vn_list_t *prev, vn_list_t *next)
{
    next->prev = link;
    link->next = next;
    link->prev = prev;
    prev->next = link;
}

/* Appends at the tail (before the head). */
static inline void _vn_list_add_tail(vn_list_t *head, vn_list_t *link)
{
    _vn_list_insert(link, head->prev, head);
}

/* Inserts at the head (after the head). */
static inline void _vn_list_add_head(vn_list_t *head, vn_list_t *link)
{
    _vn_list_insert(link, head, head->next);
}

static inline void _vn_list_del(vn_list_t *link)
{
    link->next->prev = link->prev;
    link->prev->next = link->next;
    link->next = link;
    link->prev = link;
}

#define _vn_list_entry(link, type, member) \
    ((type *)((char *)(link) - offsetof(type, member)))

/* misc */
/* (end misc) */

/* hashtable */
/* The key's hash under the table's own function. A caller that looks a key up
   or adds it passes that hash to the calls below, so the key is hashed once
   instead of once a call. */
int _tarvelutil_hashtable_hash(tarvelutil_hashtable_t *table, const void *key);
/* As put; when `held` is not null it receives the new entry, which stays the
   key's until it is removed, for _tarvelutil_hashtable_release_held. */
void _tarvelutil_hashtable_put_hashed(tarvelutil_hashtable_t *table, const void *key, int hash, void *data, int flags,
                                      void **held);
void *_tarvelutil_hashtable_get_hashed(tarvelutil_hashtable_t *table, const void *key, int hash, int flags);
/* Starts fetching the bucket of that hash from memory, ahead of a look-up. */
void _tarvelutil_hashtable_prefetch(tarvelutil_hashtable_t *table, int hash);
/* Gives back the hold on that one entry without looking its key up; a write
   hold nobody waits for is given back without the bucket's mutex. The entry
   must still be in the table: as with every hold, only its holder may
   remove it meanwhile, and then it is not released. */
void _tarvelutil_hashtable_release_held(tarvelutil_hashtable_t *table, void *held, int flags);
/* (end hashtable) */

/* compat, net */
/* Keeps the start-up record for the platform layer (its application root and event log). */
void _vn_compat_init(vn_init_t *init);
/* Resident set size of this process in kB, or -1. */
long _vn_get_process_size(void);
/* (end compat) */

/* stringpool */
/* Registers stringpool-hashtable-size. */
void _vn_stringpool_config_init(void);
/* Keeps the start-up record's event log and makes the pool. */
void _vn_stringpool_init(vn_init_t *init);
/* (end stringpool) */

/* config */
typedef struct _section section_t;
typedef struct _group group_t;

/* One registered option; lists are linked through `list`. */
typedef struct _option {
    char opt;        /* short letter, 0 for none */
    char *longopt;
    int len;         /* strlen(longopt) */
    char *help;      /* help text without its label */
    int type;        /* type code and flags */
    void *value;     /* variable address; a field offset inside a group; group_t or section_t */
    void *def;       /* default snapshot; a group's template; an array's count address or offset */
    const vn_config_enum_t *enums;
    void *min, *max; /* owned copies of the bounds, or NULL */
    char *docstring; /* label from the help text, or NULL */
    vn_list_t list;
    group_t *owner;  /* the group whose records hold this field, or NULL */
} option_t;

struct _group {
    void *base;      /* address of the record-array pointer; its offset in the parent's record */
    size_t size;     /* size of one record */
    int *num;        /* address of the record count; its offset in the parent's record */
    int next;        /* index of the record being filled */
    vn_list_t list;
    option_t *add_opt;
    option_t *end_opt;
    group_t *parent;
    int has_record;  /* 0 while the group was opened without adding a record */
};

struct _section {
    option_t *opt;
    vn_list_t list;
};

typedef struct _configfile {
    char *file;
    vn_list_t list;
} configfile_t;

typedef struct _searchpath {
    char *path; /* ends with "/" unless empty */
    vn_list_t list;
} searchpath_t;

typedef struct _configtest {
    vn_list_t list;
    char *tag;
    char **correct_value;
} configtest_t;

struct _macro_ctx;

struct _config_ctx {
    vn_list_t _option_list;
    vn_list_t _file_list; /* new entries at the head; walk through prev */
    section_t *_current_section;
    group_t *_current_group;
    vn_list_t *_current_list;
    struct _macro_ctx *macro;
};

/* The type code without the strict, deprecated and private flags. */
#define _VN_CONFIG_BASE_TYPE(type) ((type) & ~(VN_CONFIG_STRICT | VN_CONFIG_DEPRECATED | VN_CONFIG_PRIVATE))

vn_config_ctx_t *_vn_config_get_ctx(void);
struct _macro_ctx *_vn_config_get_macro_context(void);
/* The first option of that long name in the current option list, or NULL. */
option_t *_vn_config_find_option(const char *name);
void set_value(option_t *option, const char *text, int check_only);
void unknown_option(const char *name);
char *_vn_config_get_option_value(const char *name, char *buffer, size_t size);
/* Returns the help after the label; *label gets an owned copy of the label or NULL. */
const char *_vn_parse_help_string(const char *help, char **label);
void _vn_config_config_init(void);
/* Keeps the record's event log, to which vn_config_free_ctx writes the messages. */
void _vn_config_init(vn_init_t *init);
/* Writes the collected messages to `log` at level 0 and empties the list. */
void _vn_config_log_errors(struct _vn_log *log);
/* Documents `list`; group fields take their defaults from `template_record`. */
void config_doc_options_dump(FILE *stream, const vn_list_t *list, const void *template_record);
/* (end config) */

/* config_macro */
typedef struct _macro_ctx vn_macro_ctx_t;

vn_macro_ctx_t *_vn_config_macro_ctx_create(void);
void _vn_config_macro_ctx_destroy(vn_macro_ctx_t *ctx);
/* The expanded line (free with vn_free), or null for a comment line. */
char *_vn_config_macro_parse(vn_macro_ctx_t *ctx, const char *line);
/* The value, owned by the context; null without a context. */
const char *_vn_config_macro_get_var(vn_macro_ctx_t *ctx, const char *name);
void _vn_config_macro_store_var(vn_macro_ctx_t *ctx, const char *name, const char *value);
/* -1 when no macro is being defined, else appends the line to its body. */
int _vn_config_macro_add(vn_macro_ctx_t *ctx, const char *line);
void _vn_config_macro_end(vn_macro_ctx_t *ctx);
void _vn_set_define_warning_reporting(int on);
/* (end config_macro) */

/* config_expr */
/* The root node, or null (and a recorded message) when the text is no expression. */
vn_config_expr_t *_vn_config_expr_compile(const char *text);
/* A new text (free with vn_free); a null node gives "0". */
char *_vn_config_expr_eval(vn_config_expr_t *node);
void _vn_config_expr_delete(vn_config_expr_t *node);
int is_number(const char *text);
/* (end config_expr) */

/* config_xmlout */
void *_vn_xmlNewDoc(const char *version);
void _vn_xmlFreeDoc(void *doc);
void *_vn_xmlDocSetRootElement(void *doc, void *root);
int _vn_xmlSaveFile(const char *filename, void *doc);
void *_vn_xmlAddChild(void *parent, void *child);
void *_vn_xmlNewProp(void *node, const char *name, const char *value);
void *_vn_xmlNewNode(void *ns, const char *name);
/* (end config_xmlout) */

/* vantrix (start-up), daemon */
void _vn_get_version(int *major, int *minor);
void _vn_daemon_config_init(void);
void _vn_daemon_init(vn_init_t *init);
void _vn_write_pid_file(void);
void _vn_format_uptime(time_t seconds, char *buffer, size_t bufsize);
int _vn_xml_config_format(void);
int _vn_init2(vn_init_t *init, int argc, char **argv, vn_log_message_cb eventlog_cb);
void _vn_exit_log(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Makes SIGTERM, SIGINT and SIGHUP end the process with code 0 through exit,
 * run on a thread of its own, and ignores SIGPIPE. */
void _vn_exit_signals_install(void);
/* Gives this process the thread the signals need unless it has it: a forked
 * child that carries on as the process calls it. */
void _vn_exit_signals_start(void);
/* (end vantrix) */

/* event */
void _vn_event_config_init(void);
void _vn_event_init(vn_init_t *init);
/* Makes the calling thread's loop; 1 when it has one, 0 when no back-end started. */
int _vn_event_thread_init(vn_init_t *sys_init, int event_module, int flags);
/* Runs `work` on the calling thread just before its loop next waits for
 * events (or leaves), once however often it is asked before then. 0 when the
 * thread is not running a loop, or has too much put off already: the caller
 * then does the work itself, now. */
int _vn_event_before_wait(void (*work)(void));
/* (end event) */

/* log */
void _vn_log_config_init(void);
void _vn_log_init(vn_init_t *init);
/* The head of every stamped line: local time, milliseconds, offset from GMT. */
int _vn_log_timestamp(char *buf, size_t buflen);
/* The ring's lines, oldest first: a new array of new texts, or NULL when the
 * ring is empty; the caller frees each text and the array. */
char **_vn_log_history_lines(vn_log_t *log, int *count);
/* The logging element (the event log's) and the packetLog element (the packet
 * log's), each only when that log exists. */
void _vn_log_write_xml(void *doc, void *root);
void _vn_log_packet_write_xml(void *doc, void *root);
/* Makes the logging monitoring template and publishes every log made so far;
 * logs made later are published as they are made. */
void _vn_log_monitor_config(vn_init_t *init);
/* The log of that name ("event_log", "packet_log", ...), or NULL. */
vn_log_t *_vn_log_find(const char *name);
/* 1 when the log's binary writes go nowhere (it is the null device). */
int _vn_log_discards(const vn_log_t *log);
/* (end log) */

/* monitor */
/* Option-registration hook: empties the template list. */
void _vn_monitor_config_init(void);
/* The operations table a loaded monitoring module fills; empty until then. */
vn_monitor_funcs_t *_vn_monitor_funcs(void);
/* Tells the module, once per process, that the process is running; an
 * application that added no server type is published as "vantrix". */
void _vn_monitor_activate(void);
/* Registers "monitor-method" and loads the configured module. */
void _vn_monitor_init(vn_init_t *init);
/* The handler of the UDP word "monitor-method": user, password, template,
 * key, method and the method's arguments. Returns 1. */
int _vn_monitor_udp_method(int argc, char **argv, int val, void *data);
/* (end monitor) */

/* udpsignal */
/* Registers udp-port and udp-interface. */
void _vn_udpsignal_config_init(void);
/* Opens the command pipe and the configured port on the calling (init) thread's loop. */
void _vn_udpsignal_init(vn_init_t *init);
/* Adds the udpSignal element when a port is configured. */
void _vn_udpsignal_write_xml(void *doc, void *root);
/* (end udpsignal) */

/* jvm */
/* Registers jvm-location, jvm-global-classpath, jvm-options and add-javaclass. */
void _vn_jvm_config_init(void);
/* Creates the machine when jvm-location is set; failures exit with code 9. */
void _vn_jvm_init(vn_init_t *init);
/* (end jvm) */

/* api_dotnet */
/* Registers nothing; kept as the first registration hook. */
void _vn_apidotnet_config_init(void);
/* (end api_dotnet) */

/* fields, quix64 */
void _vn_fields_config_init(void);
void _vn_fields_init(vn_init_t *init);
/* The field's format for a type slot (0 pointer, 1 float32, 2 float64, 3 int8,
 * 4 int16, 5 int32, 6 int64); the global one for a number without a field;
 * NULL for a number outside -65535 .. 65535 or a slot outside 0 .. 6. */
const char *_vn_fields_fmtbynum(int num, int slot);
void _vn_fields_write_xml(void *doc, void *parent);
void _vn_quix64_config_init(void);
/* (end fields) */

/* record, page, container, permission, api */
/* Start-up hooks: nothing to register or start. */
void _vn_record_config_init(void);
void _vn_page_config_init(void);
void _vn_container_init(vn_init_t *init);
void _vn_permission_init(vn_init_t *init);

/* Adds a page's size field: number (cols << 8) + rows, value the page type. */
void _vn_page_add_size(vn_data_t *data, int rows, int cols, const char *type);

/* Object image cache store (codelibrary/cache) */
/* Registers a type's table, replacing the one it had. */
void _tarvelutil_cache_register_funcs(int type, const cachefuncs_t *funcs);
/* Replaces the value of the first field with the number (1) or adds the field (0). */
int _tarvelutil_cache_update_field(vn_data_t *data, int fieldnum, const char *value);
/* Writes a comparison's message into text (size bytes) and returns 1. */
int _tarvelutil_cache_mismatch(char *text, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
/* The tables of the typed stores. */
extern const cachefuncs_t _tarvelutil_cache_page_funcs;
extern const cachefuncs_t _tarvelutil_cache_record_funcs;
/* (end record) */

/* lty_chain */
/* Registers the latency-chain options. */
void _vn_lty_chain_config_init(void);
/* Expands the chain name and finds the three fields; chains are switched off
 * when any of them is not a defined field. */
void _vn_lty_chain_init(vn_init_t *init);
/* The latencyChainManager element, when chains are on. */
void _vn_lty_chain_write_xml(void *doc, void *parent);
/* (end lty_chain) */

/* binary */
void _vn_binary_init(vn_init_t *init);
/* (end binary) */

/* pkt */
/* A request message holds at most this many payload bytes. */
#define VN_REQUEST_MESSAGE_BYTES 8192

/* Serialises list's subjects from index first on into one request message in
 * buf (*len: capacity in, bytes out); returns how many it holds, 0 when
 * subject first alone does not fit. */
uint16_t _vn_reqpkt_pack(const vn_reqpkt_t *list, uint16_t first, unsigned char *buf, size_t *len);
/* Parses as vn_datapkt_parse into a record that an earlier parse (or
 * vn_new_datapkt) filled, refilling its subject, field array and values where
 * their buffers have room: a reader of many updates allocates almost nothing.
 * On failure the record is left empty. */
int _vn_datapkt_reparse(vn_datapkt_t *pkt, int msgtype, const unsigned char *buf, size_t len);
/* Appends an uninitialised field slot to a record, growing its array; every
 * writer of a record's fields goes through it, so all agree on its capacity. */
vn_field_t *_vn_datapkt_new_field(vn_datapkt_t *pkt);
/* A new record equal to pkt in every member, values byte for byte; the
 * caller owns it. For a sender that must own a record another module keeps. */
vn_datapkt_t *_vn_datapkt_copy(const vn_datapkt_t *pkt);
/* Request batching per peer: subjects are borrowed until the list is sent;
 * a list is sent when it reaches 64 subjects. type 3 request, 4 discard. */
void _vn_reqpkt_add(int type, int peer, vn_reqpkt_t *list, char *subject);
void _vn_reqpkt_send(int type, int peer, vn_reqpkt_t *list);
/* (end pkt) */

/* msgq */
/* Registers vantrix-batch-time. */
void _vn_msgq_config_init(void);
/* Keeps the record's event log and makes the message-queue monitoring template. */
void _vn_msgq_init(vn_init_t *init);
/* The largest payload a pending connection's first frame may announce: a
 * PEERINFO whose name and data are both 65535 bytes long. */
#define VN_MSGQ_PENDING_FRAME_LIMIT (12 + 2 * 65535)
/* The largest payload the queue takes from its peer; a frame announcing more
 * is logged and reported as a lost connection, nothing allocated. 0 restores
 * the limit of an established link, 256 MiB. */
void _vn_msgq_frame_limit_set(vn_msgq_t *queue, uint32_t max_payload);
/* The bytes that were queued when the queue cut its link as a slow consumer,
 * else 0; reset when the queue is closed. */
uint64_t _vn_msgq_slow_consumer_bytes(vn_msgq_t *queue);
/* (end msgq) */

/* peer */
struct peer_t;

void _vn_peer_config_init(void);
/* Module start: packet log, listen sockets, peer threads, connect-all timer. */
void _vn_peer_init(vn_init_t *init);
/* The vantro root's peer attributes and one peer element per peer. */
void _vn_peer_write_xml(void *doc, void *root);
/* The record, or NULL for a number outside the table. */
struct peer_t *_vn_peer(int peer);
double _vn_peer_request_timeout(int peer);
/* A new text (free with vn_free) with %h, %a and %n expanded, at most 255 characters. */
char *_vn_create_vantrix_name(const char *name);
/* Frames one message to one peer, or to every peer that has a queue; flags
 * carry the no-data reason for the counters. The queue copies the bytes. */
void _vn_peer_send(int peer, vn_msg_t *msg, uint16_t flags);
void _vn_peer_send_to_all(vn_msg_t *msg, uint16_t flags);
/* Makes a sent-message record for the packet log and sets the peer's last
 * send time; the caller holds the peer's lock. The record is only queued:
 * once its locks are released the caller must reach a settle point (a
 * peer_log_turn declared before its lock guard), where the thread whose
 * record found the log idle writes it; without one the log is never written
 * and every sender waits once it is 8 MB behind. */
void _vn_peer_log_msg(struct peer_t *conn, vn_msg_t *msg);
/* Adds the received updates the calling thread has not counted yet to their
 * peer's counters; the end of every read pass calls it. */
void _vn_peer_settle_received(void);
void _vn_peer_update_reqdsc_count(struct peer_t *conn, int type, int count);
void _vn_peer_update_rogue_count(struct peer_t *conn);
/* The peers whose link is up, and those whose remote type is active; read
 * without a lock, word by word. */
extern vn_set_t _vn_peers_up;
extern vn_set_t _vn_peers_active;
/* A replayed update for a peer; the time is not used. */
void _vn_peer_handle_replay(int peer, vn_datapkt_t *pkt, time_t tm);
/* The process-wide send sequence counter: the value to stamp, advanced atomically. */
uint16_t _vn_next_seqnum(void);
/* The one-peer no-data and status senders for a subject in the peers'
 * namespace already (the active cache's names), which is not mapped again. */
void _vn_send_nodata_to_peer_mapped(int peer, const char *subject, uint16_t flags);
void _vn_send_status_to_peer_mapped(int peer, const char *subject, uint16_t flags, uint16_t code,
                                    const char *message);
/* Hold and release the lock under which packet-log records are written, for
 * other modules that change the packet log's file (replay cuts its tail). */
void _vn_peer_packet_log_lock(void);
void _vn_peer_packet_log_unlock(void);

/* Where the peer layer delivers what it receives. Each entry starts at the
 * layer that handles it; tests may replace entries. Packets and their parts
 * are valid only during the call. */
typedef struct _vn_peer_handoff {
    void (*recv_update)(int peer, vn_datapkt_t *pkt);
    void (*recv_nodata)(int peer, vn_datapkt_t *pkt);
    void (*recv_object_status)(int peer, char *name, uint16_t flags, uint16_t code, char *message);
    /* state 256 up, 512 down */
    void (*recv_peer_status)(int peer, int state, int remote_id, char *remote_name);
    void (*recv_request)(int peer, vn_reqpkt_t *request);
    void (*recv_discard)(int peer, vn_reqpkt_t *request);
    /* a peer status message: (flags, value, data) */
    void (*recv_peer_status_msg)(int peer, int status, int value, void *data);
    /* replayed updates */
    void (*recv_replay_update)(int peer, vn_datapkt_t *pkt);
} vn_peer_handoff_t;
extern vn_peer_handoff_t _vn_peer_handoff;
/* (end peer) */
/* map */
/* Every mapped name is cut to fit a buffer of this size, NUL included. */
#define VN_MAP_BUFFER_BYTES 4096

void _vn_map_config_init(void);
void _vn_map_init(vn_init_t *init);
void _vn_map_write_xml(void *doc, void *root);
/* Appends a forward entry (in to out) and its reverse (out to in). */
void _vn_map_add_pattern(const char *in, const char *out);
/* The first matching entry's result in buf (VN_MAP_BUFFER_BYTES bytes), or
 * the name itself when no entry matches. */
const char *_vn_map_name(const char *name, char *buf);
const char *_vn_map_rev_name(const char *name, char *buf);
/* (end map) */

/* callbacks */
void _vn_callbacks_config_init(void);
/* Takes the record's seven callbacks; without enable-threaded-callbacks makes
 * the init thread's delivery channel (call it on the init thread). */
void _vn_callbacks_init(vn_init_t *init);
/* Where the calling thread's hand-over stood when it made a report: the
 * report is to reach the application after everything the thread had handed
 * over by then. `slot` is null where nothing is handed over (threaded
 * callbacks, the init thread, a thread beyond the slots). */
typedef struct {
    void *slot;
    uint64_t ticket;
} _vn_callbacks_mark_t;
/* The calling thread's mark, taken as it makes a report. */
_vn_callbacks_mark_t _vn_callbacks_mark(void);
/* On the init thread: runs what the mark's thread had handed over by then and
 * is still queued (nothing for a null mark). */
void _vn_callbacks_catch_up(const _vn_callbacks_mark_t *mark);
/* Queues a state report, which deliver(0, record) hands to the application on
 * the init thread: after every report queued before it, and after everything
 * the calling thread handed over before it and before everything it hands
 * over after it. The caller does not wait. 0 when there is no way to the
 * init thread (nothing is queued: the caller delivers itself). */
int _vn_callbacks_report(tarvelutil_signalmain_cb_t deliver, void *record);
/* The same for a report that the caller waits for, whose record may live on
 * its stack, and that follows what `made` covers (null: the caller's own
 * mark). Not on the init thread. */
void _vn_callbacks_report_and_wait(tarvelutil_signalmain_cb_t deliver, void *record, const _vn_callbacks_mark_t *made);
/* Before a delivery the init thread makes at once: delivers the reports
 * queued so far, each after what it owes (nothing on another thread). */
void _vn_callbacks_line_first(void);
/* The init thread's channel that runs reports when the hand-over has none
 * (threaded callbacks). */
void _vn_callbacks_report_channel_set(tarvelutil_signalany_t *channel);
/* Deliveries to the application, by peer number, called on the thread that
 * received the event; each returns once the application's callback has run
 * (at once when that callback is null). Subjects are mapped back. */
void _vn_callbacks_recv_request(int peer, vn_reqpkt_t *request);
void _vn_callbacks_recv_discard(int peer, vn_reqpkt_t *request);
void _vn_callbacks_recv_update(int peer, vn_data_t *data);
void _vn_callbacks_recv_nodata(int peer, vn_data_t *nodata);
void _vn_callbacks_recv_peer_status(int peer, int status, int value, void *data);
void _vn_callbacks_recv_object_status(int peer, const char *subject, int state, uint16_t code, const char *message);
/* A service's report reaches the application after what the thread that
 * made it had handed over by then (`made`; null: no such order). */
void _vn_callbacks_recv_service_status(const char *service, int state, const _vn_callbacks_mark_t *made);
/* 1 when the application takes object statuses: without such a callback a
 * report has nowhere to go and need not be made. */
int _vn_callbacks_wants_object_status(void);
/* The hand-over of deliveries to the init thread (callbacks_handoff.cpp):
 * init on the init thread with its channel, then any other thread runs
 * deliver(0, record) there and returns once it has run. */
void _vn_callbacks_handoff_init(tarvelutil_signalany_t *channel);
void _vn_callbacks_handoff(tarvelutil_signalmain_cb_t deliver, void *record);
/* A queued update's delivery on the init thread: the record it owns and the
 * drop epoch its pass began in. */
typedef void (*_vn_callbacks_owned_cb)(int peer, vn_data_t *data, uint64_t epoch);
/* Queues an update of a read pass without waiting when `data` is the lent
 * record: its contents move to the queue and `data` gets a spent record's
 * (1); otherwise nothing is done (0). */
int _vn_callbacks_handoff_update(int peer, vn_data_t *data, _vn_callbacks_owned_cb deliver);
/* A read pass on the calling thread (nested passes count as one); its end
 * returns once everything it queued has been delivered. */
void _vn_callbacks_pass_begin(void);
void _vn_callbacks_pass_end(void);
/* The record the calling thread's dispatcher parses into and may give up
 * (null: none); worth lending only while _vn_callbacks_queueing is set (by
 * start-up, without enable-threaded-callbacks). */
void _vn_callbacks_lend(vn_data_t *record);
extern char _vn_callbacks_queueing;
/* Called after the application discarded or purged a subject. */
void _vn_callbacks_note_drop(void);
uint64_t _vn_callbacks_drop_epoch(void);
/* (end callbacks) */

/* advmap */
void _vn_advmap_config_init(void);
/* Completes the configured services (or builds the default one) once the
 * peers are known; on the init thread, after the callback layer. */
void _vn_advmap_init(vn_init_t *init);
/* What the peer layer hands in, on the peer's thread with its lock not held.
 * Records and texts are the caller's and valid during the call only. */
void _vn_advmap_recv_update(int peer, vn_data_t *vndata);
void _vn_advmap_recv_nodata(int peer, vn_data_t *nodata);
void _vn_advmap_recv_object_status(int peer, char *name, uint16_t flags, uint16_t code, char *message);
/* peer_state 256 up, 512 down; the remote's id and name. */
void _vn_advmap_recv_peer_status(int peer, int peer_state, int remote_id, char *remote_name);
/* (end advmap) */

/* cache */
/* Registers cache-hash-size, cache-objects, cache-add-object, the include and
 * exclude patterns and add-cache-purge. */
void _vn_cache_config_init(void);
/* With cache-objects on: takes over the three senders and the record's
 * request, discard and peer-status callbacks, adds the configured subjects,
 * arms the purges. */
void _vn_cache_init(vn_init_t *init);
/* (end cache) */

/* replay */
/* Registers vantrix-auto-replay, vantrix-auto-replay-days and vantrix-auto-replay-files. */
void _vn_replay_config_init(void);
/* Keeps the record's log and log root; arms the auto replay when configured. */
void _vn_replay_init(vn_init_t *init);
/* Where the auto replay starts: with minutes 0 or more, the most recent local
 * time of day that many minutes after midnight, days earlier still; with
 * minutes below 0, that many minutes before now. */
time_t _vn_replay_auto_start(time_t now, int minutes, int days);
/* (end replay) */

/* delay */
/* Registers add-delay, block-realtime, delay-batch-time and delay-batch-size. */
void _vn_delay_config_init(void);
/* Makes the init thread's channel for batch timers and the configured
 * channels, and installs the delaying data sender when there are any. */
void _vn_delay_init(vn_init_t *init);
/* (end delay) */

/* ssl */
struct ssl_ctx_st;
struct ssl_st;
/* The contexts of accepted (server) and outgoing (client) peer connections,
 * made at start-up whether or not SSL is enabled. */
extern struct ssl_ctx_st *_vn_ssl_s_ctx;
extern struct ssl_ctx_st *_vn_ssl_c_ctx;
/* Registers the start-ssl section and the other SSL options. */
void _vn_ssl_config_init(void);
/* Seeds the generator when it needs it, loads OpenSSL's configuration and
 * builds both contexts from the options. */
void _vn_ssl_init(vn_init_t *init);
/* enable-server: the SSL listen port is opened only then. */
char _vn_ssl_server_enabled(void);
/* After a handshake: 1 keeps the connection, 0 refuses it (a peer
 * certificate that failed verification). server is 1 for an accepted one. */
int _vn_ssl_check_cert(struct ssl_st *ssl, int server);
/* ssl-random-seed "file" or "exec": adds the file's or the command's output
 * to the generator, at most limit_text bytes when that is a number above 0;
 * returns the bytes added. */
size_t _vn_ssl_seed(const char *kind, const char *source, const char *limit_text);
/* (end ssl) */

/* signature */
/* Registers signature-validtime, signature-hashsize and the add-sigkey group. */
void _vn_signature_config_init(void);
/* Makes the replay table and the call channel on the calling (init) thread and
 * resolves every group's key file; a group without key-id or keyfile ends the
 * process with code 1, a key file not found with code 8. */
void _vn_signature_init(vn_init_t *init);
/* 1 when text looks like a sign-on token: a base64 signature part, "~", and a
 * 14-digit stamp that ends the text or is followed by "~"; else 0. Says
 * nothing of whether the token verifies. */
int _vn_signature_token_shaped(const char *text);
/* (end signature) */

#ifdef __cplusplus
}
#endif

#endif /* VANTRIX_PRIVATE_H */
