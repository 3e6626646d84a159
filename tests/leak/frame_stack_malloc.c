/* Preloaded into the interpreter of the sanitizer run, after the sanitizer
 * runtime. The interpreter keeps its frame stack (each running Python
 * function's locals and temporaries, and the pointer to its frame object)
 * in blocks from its arena allocator, which maps them with mmap, where
 * LeakSanitizer does not look for pointers: an object referenced only from a
 * running function would be reported as leaked. Taking those blocks from
 * malloc makes them heap blocks, scanned like any other. Set before the
 * interpreter starts, so no block is ever freed by the other allocator; a
 * process that is not the interpreter is left alone. */
#include <dlfcn.h>
#include <stddef.h>
#include <stdlib.h>

/* The layout of PyObjectArenaAllocator (cpython/objimpl.h). */
typedef struct {
  void *ctx;
  void *(*alloc)(void *ctx, size_t size);
  void (*free)(void *ctx, void *ptr, size_t size);
} ArenaAllocator;

static void *arena_alloc(void *ctx, size_t size) {
  (void)ctx;
  return malloc(size);
}

static void arena_free(void *ctx, void *ptr, size_t size) {
  (void)ctx;
  (void)size;
  free(ptr);
}

__attribute__((constructor)) static void frame_stack_from_malloc(void) {
  void (*set)(ArenaAllocator *) = (void (*)(ArenaAllocator *))dlsym(RTLD_DEFAULT, "PyObject_SetArenaAllocator");
  if (set != NULL) {
    ArenaAllocator allocator = {NULL, arena_alloc, arena_free};
    set(&allocator);
  }
}
