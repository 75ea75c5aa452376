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

/* compat, net */
/* Keeps the start-up record for the platform layer (its application root and event log). */
void _vn_compat_init(vn_init_t *init);
/* Resident set size of this process in kB, or -1. */
long _vn_get_process_size(void);
/* (end compat) */

/* stringpool */
/* (end stringpool) */

/* config */
/* (end config) */

/* config_macro */
/* (end config_macro) */

/* config_expr */
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
void _vn_exit_log(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* (end vantrix) */

/* log */
/* (end log) */

/* monitor */
/* (end monitor) */

/* udpsignal */
/* (end udpsignal) */

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
/* (end record) */

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
/* (end pkt) */

#ifdef __cplusplus
}
#endif

#endif /* VANTRIX_PRIVATE_H */
