// Allocation wrappers that never return null, and fixed-size element pools.
#include "vantrix_private.h"

#include <cstdlib>
#include <cstring>

namespace {

// Out of memory ends the process at once: no message, no exit hooks.
[[noreturn]] void out_of_memory()
{
    std::abort();
}

void *checked(void *ptr)
{
    if (ptr == nullptr)
        out_of_memory();
    return ptr;
}

constexpr size_t kElementHeader = 8;
static_assert(offsetof(memelem_t, data) == kElementHeader, "pool payload must sit 8 bytes into its element");

memelem_t *element_of(void *data)
{
    return reinterpret_cast<memelem_t *>(static_cast<char *>(data) - kElementHeader);
}

// Allocates `count` elements (at least one) chained in allocation order;
// returns the first and stores the last in `tail`.
memelem_t *new_chain(size_t malloc_size, size_t count, memelem_t **tail, void *(*allocate)(size_t))
{
    memelem_t *first = static_cast<memelem_t *>(allocate(malloc_size));
    memelem_t *last = first;
    for (size_t i = 1; i < count; i++) {
        memelem_t *element = static_cast<memelem_t *>(allocate(malloc_size));
        last->next = element;
        last = element;
    }
    last->next = nullptr;
    *tail = last;
    return first;
}

vn_memroot_t *make_memroot(size_t size, size_t num, size_t increase, void *(*allocate)(size_t))
{
    vn_memroot_t *root = static_cast<vn_memroot_t *>(allocate(sizeof(vn_memroot_t)));
    size_t step = increase != 0 ? increase : num / 8;
    if (step == 0)
        step = 1; // a small pool would otherwise never grow
    size_t created = num != 0 ? num : 1;
    root->min = created;
    root->size = created;
    root->num = step;
    root->max = created + step;
    root->malloc_size = size + kElementHeader;
    root->c = 0;
    memelem_t *tail;
    root->head = new_chain(root->malloc_size, created, &tail, allocate);
    return root;
}

void *take_element(vn_memroot_t *root, void *(*allocate)(size_t))
{
    if (root->head == nullptr) {
        memelem_t *tail;
        root->head = new_chain(root->malloc_size, root->num, &tail, allocate);
        root->size += root->num;
    }
    memelem_t *element = root->head;
    root->head = element->next;
    root->size--;
    return element->data;
}

} // namespace

extern "C" {

void *vn_malloc(size_t size)
{
    return checked(std::malloc(size));
}

void *vn_calloc(size_t nmemb, size_t size)
{
    return checked(std::calloc(nmemb, size));
}

void *vn_realloc(void *ptr, size_t size)
{
    // A size of 0 may legitimately return null; ask for one byte instead.
    return checked(std::realloc(ptr, size != 0 ? size : 1));
}

char *vn_strdup(const char *text)
{
    return static_cast<char *>(checked(strdup(text)));
}

void vn_free(void *ptr)
{
    std::free(ptr);
}

vn_memroot_t *vn_new_memroot(size_t size, size_t num, size_t increase)
{
    return make_memroot(size, num, increase, vn_malloc);
}

void *vn_mem_get(vn_memroot_t *root)
{
    return take_element(root, vn_malloc);
}

void vn_mem_release(vn_memroot_t *root, void *data)
{
    memelem_t *element = element_of(data);
    element->next = root->head;
    root->head = element;
    root->size++;
    if (root->size < root->max)
        return;
    // Trim a whole step from the head, most recently released first.
    for (size_t i = 0; i < root->num && root->head != nullptr; i++) {
        memelem_t *next = root->head->next;
        std::free(root->head);
        root->head = next;
        root->size--;
    }
}

} // extern "C"

// Tagged allocations: a 16-byte tag in front of each block names its origin.
namespace {

constexpr size_t kTagBytes = 16;

void write_tag(unsigned char *block, char prefix, const char *file, int line)
{
    static const unsigned char kHead[4] = {0xF6, 0xF7, 0xF8, 0xF9};
    static const unsigned char kTail[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(block, kHead, sizeof kHead);
    block[4] = static_cast<unsigned char>(prefix);
    size_t name_len = file != nullptr ? std::strlen(file) : 0;
    for (size_t i = 0; i < 3; i++)
        block[5 + i] = i < name_len ? static_cast<unsigned char>(file[i]) : 0;
    block[8] = static_cast<unsigned char>((line >> 8) & 0xFF);
    block[9] = static_cast<unsigned char>(line & 0xFF);
    std::memcpy(block + 10, kTail, sizeof kTail);
}

void *tagged(void *block, char prefix, const char *file, int line)
{
    unsigned char *bytes = static_cast<unsigned char *>(checked(block));
    write_tag(bytes, prefix, file, line);
    return bytes + kTagBytes;
}


} // namespace

extern "C" {

void *vn_malloc2(size_t size, char prefix, const char *file, int line)
{
    return tagged(std::malloc(size + kTagBytes), prefix, file, line);
}

void *vn_calloc2(size_t nmemb, size_t size, char prefix, const char *file, int line)
{
    return tagged(std::calloc(nmemb, size + kTagBytes), prefix, file, line);
}

void *vn_realloc2(void *ptr, size_t size, char prefix, const char *file, int line)
{
    if (ptr == nullptr)
        return vn_malloc2(size, prefix, file, line);
    unsigned char *block = static_cast<unsigned char *>(ptr) - kTagBytes;
    return tagged(std::realloc(block, size + kTagBytes), prefix, file, line);
}

char *vn_strdup2(const char *text, char prefix, const char *file, int line)
{
    size_t len = std::strlen(text);
    char *copy = static_cast<char *>(vn_malloc2(len + 1, prefix, file, line));
    std::memcpy(copy, text, len + 1);
    return copy;
}

char *vn_strduplen2(const char *text, size_t length, char prefix, const char *file, int line)
{
    if (text == nullptr)
        return nullptr;
    char *copy = static_cast<char *>(vn_malloc2(length + 1, prefix, file, line));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void vn_free2(void *ptr)
{
    if (ptr == nullptr)
        return;
    unsigned char *block = static_cast<unsigned char *>(ptr) - kTagBytes;
    std::memset(block, 0, kTagBytes);
    std::free(block);
}

// Pool elements stay untagged: vn_mem_release trims them with a plain free,
// and a tagged block handed to it would corrupt the heap.
vn_memroot_t *vn_new_memroot2(size_t size, size_t num, size_t increase, char, const char *, int)
{
    return make_memroot(size, num, increase, vn_malloc);
}

void *vn_mem_get2(vn_memroot_t *root, char, const char *, int)
{
    return take_element(root, vn_malloc);
}

} // extern "C"
