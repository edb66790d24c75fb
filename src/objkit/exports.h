// The library's entry points: the only symbols objkit.so exports.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/host.h"

#define OBJKIT_EXPORT __attribute__((visibility("default")))

extern "C" {

// One row of a native class's symbol table; the table ends at a null name.
struct SymbolEntry {
  const char *name;
  void *function;
};

OBJKIT_EXPORT void objkit_init_module(void);
OBJKIT_EXPORT const BuiltinRecord *objkitbltin(void);

OBJKIT_EXPORT void *z_malloc(uint32_t size);
OBJKIT_EXPORT int32_t z_free(void *ptr);
OBJKIT_EXPORT void *z_realloc(void *ptr, uint32_t size);

OBJKIT_EXPORT void genobj_init_module(void);
OBJKIT_EXPORT HostValue genobj_create(int32_t class_index, HostValue owner);
OBJKIT_EXPORT int32_t genobj_dump(void *payload, FILE *stream, int32_t depth);
OBJKIT_EXPORT HostValue genobj_handle(int32_t class_index);
OBJKIT_EXPORT HostValue refobj_handle(void *item);

OBJKIT_EXPORT const SymbolEntry *T_C_Object_get_symbol_table(void);
OBJKIT_EXPORT void T_C_Object_init_module(void);
OBJKIT_EXPORT void T_C_Object_deallocate(void *payload);
OBJKIT_EXPORT int32_t T_C_Object_dump(void *payload, FILE *stream, int32_t depth);

OBJKIT_EXPORT const SymbolEntry *T_DblLnk_get_symbol_table(void);
OBJKIT_EXPORT void T_DblLnk_init_module(void);
OBJKIT_EXPORT HostValue T_DblLnk_create(HostValue owner);
OBJKIT_EXPORT void T_DblLnk_deallocate(void *payload);
OBJKIT_EXPORT int32_t T_DblLnk_dump(void *payload, FILE *stream, int32_t depth);

OBJKIT_EXPORT void T_Timer_init_module(void);

}  // extern "C"
