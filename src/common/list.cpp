// A locked singly linked list of opaque pointers.

#include "common/list.hpp"

#include "common/logging.hpp"

#include <cstdarg>
#include <cstdlib>

namespace {

// Standard error: unbuffered, so the line is out before abort().
[[noreturn]] void list_fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void list_fatal(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ts_vfprintf(stderr, fmt, args);
    va_end(args);
    abort();
}

// A wrong magic means a freed or foreign record: going on would corrupt
// memory, so stop here where the cause is still visible.
void list_check(const list_t *list)
{
    if (!list || list->list_magic != LIST_MAGIC) {
        list_fatal("list: bad list %p (magic 0x%x)\n", static_cast<const void *>(list),
                   list ? list->list_magic : 0u);
    }
}

void link_check(const link_t *link)
{
    if (link->link_magic != LINK_MAGIC) {
        list_fatal("list: bad link %p (magic 0x%x)\n", static_cast<const void *>(link),
                   link->link_magic);
    }
}

class list_lock {
  public:
    explicit list_lock(list_t *list) : list_(list) { pthread_mutex_lock(&list_->mutex); }
    ~list_lock() { pthread_mutex_unlock(&list_->mutex); }
    list_lock(const list_lock &) = delete;
    list_lock &operator=(const list_lock &) = delete;

  private:
    list_t *list_;
};

// The count is read without the lock (list_count), so it is written atomically.
void set_count(list_t *list, int32_t count) { __atomic_store_n(&list->count, count, __ATOMIC_RELAXED); }

void free_link(link_t *link)
{
    link->link_magic = 0;
    delete link;
}

} // namespace

list_t *list_new()
{
    auto *list = new list_t;
    pthread_mutex_init(&list->mutex, nullptr);
    list->list_magic = LIST_MAGIC;
    list->count = 0;
    list->link = nullptr;
    return list; // owned by the caller until list_free
}

void list_free(list_t **list)
{
    if (!list || !*list)
        return;
    list_check(*list);
    (*list)->list_magic = 0;
    pthread_mutex_destroy(&(*list)->mutex);
    delete *list;
    *list = nullptr;
}

void list_add(list_t *list, void *data)
{
    list_check(list);
    auto *link = new link_t{LINK_MAGIC, data, nullptr};
    list_lock guard(list);
    link_t **tail = &list->link;
    while (*tail) {
        link_check(*tail);
        tail = &(*tail)->next;
    }
    *tail = link;
    set_count(list, list->count + 1);
}

void list_delete(list_t *list, void *data)
{
    list_check(list);
    list_lock guard(list);
    for (link_t **pp = &list->link; *pp; pp = &(*pp)->next) {
        link_t *link = *pp;
        link_check(link);
        if (link->data != data)
            continue;
        *pp = link->next;
        free_link(link);
        set_count(list, list->count - 1);
        return;
    }
}

void *list_pop(list_t *list)
{
    list_check(list);
    list_lock guard(list);
    link_t *head = list->link;
    if (!head)
        return nullptr;
    link_check(head);
    void *data = head->data;
    list->link = head->next;
    free_link(head);
    set_count(list, list->count - 1);
    return data;
}

void list_iter(list_t *list, void *user_ptr, list_iter_cb_t callback)
{
    list_check(list);
    list_lock guard(list);
    for (link_t *link = list->link; link; link = link->next) {
        link_check(link);
        if (callback(user_ptr, link->data) == TOL_FALSE)
            return;
    }
}

int list_count(const list_t *list)
{
    list_check(list);
    return __atomic_load_n(&list->count, __ATOMIC_RELAXED);
}
