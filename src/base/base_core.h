// Basic types and helpers shared by every module.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef u32 b32;
typedef double f64;

#define KB(n) ((u64)(n) << 10)
#define MB(n) ((u64)(n) << 20)
#define GB(n) ((u64)(n) << 30)

#define Min(a, b) ((a) < (b) ? (a) : (b))
#define Max(a, b) ((a) > (b) ? (a) : (b))
#define ClampTop(a, b) Min(a, b)
#define ArrayCount(a) (sizeof(a) / sizeof((a)[0]))
#define AlignPow2(x, a) (((x) + (a) - 1) & ~((u64)(a) - 1))

// The all-ones deadline: wait without limit.
#define DEADLINE_NONE (~(u64)0)

#define MemoryZero(p, n) memset((p), 0, (n))
#define MemoryZeroStruct(p) memset((p), 0, sizeof(*(p)))
#define MemoryCopy(d, s, n) memmove((d), (s), (n))

// A programming fault: stop at once.
#define Trap() __builtin_trap()

//~ Linked lists
// Singly linked queues (first, last) and stacks, and doubly linked lists; nodes link
// through `next` (and `prev`). Appending is constant time.

#define SLLQueuePush(f, l, n) \
  do {                        \
    (n)->next = 0;            \
    if (l) (l)->next = (n);   \
    else (f) = (n);           \
    (l) = (n);                \
  } while (0)
#define SLLQueuePushFront(f, l, n) \
  do {                             \
    (n)->next = (f);               \
    if (!(f)) (l) = (n);           \
    (f) = (n);                     \
  } while (0)
#define SLLQueuePop(f, l)      \
  do {                         \
    (f) = (f)->next;           \
    if (!(f)) (l) = 0;         \
  } while (0)
#define SLLStackPush(top, n) \
  do {                       \
    (n)->next = (top);       \
    (top) = (n);             \
  } while (0)
#define SLLStackPop(top) ((top) = (top)->next)
#define DLLPushBack(f, l, n) \
  do {                       \
    (n)->next = 0;           \
    (n)->prev = (l);         \
    if (l) (l)->next = (n);  \
    else (f) = (n);          \
    (l) = (n);               \
  } while (0)
#define DLLRemove(f, l, n)                     \
  do {                                         \
    if ((n)->prev) (n)->prev->next = (n)->next; \
    else (f) = (n)->next;                      \
    if ((n)->next) (n)->next->prev = (n)->prev; \
    else (l) = (n)->prev;                      \
  } while (0)

//~ Trees and parser frames
// Trees whose empty links point at a nil sentinel `nil`: children in a doubly linked
// list (first_child, last_child, prev, next) with a parent link and a child count.

#define TreeAppendChild(parent, child, nil)                  \
  do {                                                       \
    (child)->parent = (parent);                              \
    (child)->next = (nil);                                   \
    (child)->prev = (parent)->last_child;                    \
    if ((parent)->last_child == (nil)) (parent)->first_child = (child); \
    else (parent)->last_child->next = (child);               \
    (parent)->last_child = (child);                          \
    (parent)->child_count += 1;                              \
  } while (0)
#define TreePrependChild(parent, child, nil)                 \
  do {                                                       \
    (child)->parent = (parent);                              \
    (child)->prev = (nil);                                   \
    (child)->next = (parent)->first_child;                   \
    if ((parent)->first_child == (nil)) (parent)->last_child = (child); \
    else (parent)->first_child->prev = (child);              \
    (parent)->first_child = (child);                         \
    (parent)->child_count += 1;                              \
  } while (0)

// Parser frames on an explicit stack linked through `parent`, recycled through a free
// list: FrameAlloc takes one from the free list or the arena, FrameRelease gives the
// top back (never the bottom frame, which lives in the parser).
#define FrameAlloc(free_list, arena, T, out) \
  do {                                       \
    (out) = (free_list);                     \
    if (out) (free_list) = (out)->parent;    \
    else (out) = push_array_no_zero((arena), T, 1); \
  } while (0)
#define FrameRelease(top, free_list)         \
  do {                                       \
    auto frame_ = (top);                     \
    (top) = frame_->parent;                  \
    frame_->parent = (free_list);            \
    (free_list) = frame_;                    \
  } while (0)
