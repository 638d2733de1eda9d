#pragma once
// A locked singly linked list of opaque, non-null pointers. The list owns its
// links, never the data.

#include "common/types.hpp"

#include <cstdint>
#include <pthread.h>

inline constexpr uint32_t LIST_MAGIC = 0xccaa8866;
inline constexpr uint32_t LINK_MAGIC = 0x55113377;

struct link_t {
    uint32_t link_magic;
    void *data;
    link_t *next;
};

struct list_t {
    pthread_mutex_t mutex;
    uint32_t list_magic;
    int32_t count;
    link_t *link;
};

// Runs under the list's lock: must not call any operation on the same list.
using list_iter_cb_t = tol_bool_t (*)(void *user_ptr, void *element);

list_t *list_new();
void list_free(list_t **list);
void list_add(list_t *list, void *data);
void list_delete(list_t *list, void *data);
void *list_pop(list_t *list);
void list_iter(list_t *list, void *user_ptr, list_iter_cb_t callback);
int list_count(const list_t *list);
