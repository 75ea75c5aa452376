// The locked double-ended queue of pointers.
#include "vantrix_private.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

struct _vn_log *library_log;

struct bucket_t {
    vn_list_t list;
    void *data;
};

bucket_t *bucket_of(vn_list_t *link)
{
    return _vn_list_entry(link, bucket_t, list);
}

// The count is written under the mutex but read without it by
// tarvelutil_queue_count, so every access is atomic.
std::atomic_ref<int> count_of(tarvelutil_queue_t *queue)
{
    return std::atomic_ref<int>(queue->queue_count);
}

void push(tarvelutil_queue_t *queue, void *data, bool front, bool trigger)
{
    bucket_t *bucket = static_cast<bucket_t *>(vn_calloc(1, sizeof(bucket_t)));
    bucket->data = data;
    pthread_mutex_lock(&queue->mutex);
    if (front)
        _vn_list_add_head(&queue->queue, &bucket->list);
    else
        _vn_list_add_tail(&queue->queue, &bucket->list);
    int count = count_of(queue).fetch_add(1) + 1;
    pthread_cond_broadcast(&queue->cond);
    if (trigger && queue->trigger_func != nullptr)
        queue->trigger_func(queue->context, queue, count);
    pthread_mutex_unlock(&queue->mutex);
}

timespec deadline_after(int seconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    return deadline;
}

// Waits with the mutex held until an item is there, or (seconds above 0)
// until the deadline passes; seconds below 0 do not wait.
void wait_for_item(tarvelutil_queue_t *queue, int seconds)
{
    if (seconds < 0)
        return;
    if (seconds == 0) {
        while (count_of(queue).load() == 0)
            pthread_cond_wait(&queue->cond, &queue->mutex);
        return;
    }
    timespec deadline = deadline_after(seconds);
    while (count_of(queue).load() == 0) {
        if (pthread_cond_timedwait(&queue->cond, &queue->mutex, &deadline) == ETIMEDOUT)
            return;
    }
}

void *take(tarvelutil_queue_t *queue, bool remove, int seconds, bool front)
{
    pthread_mutex_lock(&queue->mutex);
    wait_for_item(queue, seconds);
    if (_vn_list_empty(&queue->queue)) {
        pthread_mutex_unlock(&queue->mutex);
        return nullptr;
    }
    bucket_t *bucket = bucket_of(front ? queue->queue.next : queue->queue.prev);
    void *data = bucket->data;
    if (remove) {
        _vn_list_del(&bucket->list);
        count_of(queue).fetch_sub(1);
        vn_free(bucket);
    }
    pthread_mutex_unlock(&queue->mutex);
    return data;
}

void clear_locked(tarvelutil_queue_t *queue)
{
    while (!_vn_list_empty(&queue->queue)) {
        bucket_t *bucket = bucket_of(queue->queue.next);
        _vn_list_del(&bucket->list);
        if (queue->delete_func != nullptr)
            queue->delete_func(queue->context, bucket->data);
        vn_free(bucket);
        count_of(queue).fetch_sub(1);
    }
}

} // namespace

extern "C" {

int tarvelutil_queue_init(struct _vn_log *log)
{
    library_log = log;
    return 0;
}

tarvelutil_queue_t *tarvelutil_queue_create(tarvelutil_container_delete_func delete_func,
                                            tarvelutil_queue_trigger_func trigger_func, void *context)
{
    tarvelutil_queue_t *queue = static_cast<tarvelutil_queue_t *>(vn_calloc(1, sizeof(tarvelutil_queue_t)));
    _vn_list_init(&queue->queue);
    queue->context = context;
    queue->trigger_func = trigger_func;
    queue->delete_func = delete_func;
    pthread_mutex_init(&queue->mutex, nullptr);
    // Timed waits run on the monotonic clock so that a change of the wall
    // clock neither cuts a wait short nor stretches it.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&queue->cond, &attr);
    pthread_condattr_destroy(&attr);
    return queue;
}

void tarvelutil_queue_clear(tarvelutil_queue_t *queue)
{
    pthread_mutex_lock(&queue->mutex);
    clear_locked(queue);
    pthread_mutex_unlock(&queue->mutex);
}

void tarvelutil_queue_delete(tarvelutil_queue_t *queue)
{
    tarvelutil_queue_clear(queue);
    pthread_mutex_destroy(&queue->mutex);
    pthread_cond_destroy(&queue->cond);
    vn_free(queue);
}

int tarvelutil_queue_count(tarvelutil_queue_t *queue)
{
    return count_of(queue).load();
}

int tarvelutil_queue_foreach(tarvelutil_queue_t *queue, tarvelutil_container_foreach_func foreach_func, void *context)
{
    int visited = 0;
    pthread_mutex_lock(&queue->mutex);
    vn_list_t *link = queue->queue.next;
    while (link != &queue->queue) {
        vn_list_t *next = link->next;
        visited++;
        if (foreach_func != nullptr) {
            bucket_t *bucket = bucket_of(link);
            int result = foreach_func(context, nullptr, bucket->data);
            if (result == 0) {
                _vn_list_del(link);
                vn_free(bucket);
                count_of(queue).fetch_sub(1);
            } else if (result == -1) {
                break;
            }
        }
        link = next;
    }
    pthread_mutex_unlock(&queue->mutex);
    return visited;
}

void tarvelutil_queue_push_back(tarvelutil_queue_t *queue, void *data)
{
    push(queue, data, false, true);
}

void tarvelutil_queue_push_front(tarvelutil_queue_t *queue, void *data)
{
    push(queue, data, true, true);
}

void tarvelutil_queue_push_back_quiet(tarvelutil_queue_t *queue, void *data)
{
    push(queue, data, false, false);
}

void tarvelutil_queue_push_front_quiet(tarvelutil_queue_t *queue, void *data)
{
    push(queue, data, true, false);
}

void *tarvelutil_queue_pop_front(tarvelutil_queue_t *queue)
{
    return take(queue, true, -1, true);
}

void *tarvelutil_queue_pop_front_wait(tarvelutil_queue_t *queue, int seconds)
{
    return take(queue, true, seconds, true);
}

void *tarvelutil_queue_peek_front(tarvelutil_queue_t *queue)
{
    return take(queue, false, -1, true);
}

void *tarvelutil_queue_peek_front_wait(tarvelutil_queue_t *queue, int seconds)
{
    return take(queue, false, seconds, true);
}

void *tarvelutil_queue_pop_back(tarvelutil_queue_t *queue)
{
    return take(queue, true, -1, false);
}

void *tarvelutil_queue_pop_back_wait(tarvelutil_queue_t *queue, int seconds)
{
    return take(queue, true, seconds, false);
}

void *tarvelutil_queue_peek_back(tarvelutil_queue_t *queue)
{
    return take(queue, false, -1, false);
}

void *tarvelutil_queue_peek_back_wait(tarvelutil_queue_t *queue, int seconds)
{
    return take(queue, false, seconds, false);
}

} // extern "C"
