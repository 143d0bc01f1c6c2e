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
