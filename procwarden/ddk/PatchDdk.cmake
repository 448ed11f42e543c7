# Makes ARM64-capable copies of the mingw-w64 DDK headers wdm.h and ntddk.h.
#
#   cmake -DDDK_DIR=<zig>/lib/libc/include/any-windows-any/ddk -DOUT_DIR=<folder> -P PatchDdk.cmake
#
# The shipped headers know x86, x64, IA64 and ARM32 only: without an ARM64 branch they stop at
# "#error Unknown Architecture", and several "not AMD64" conditions would silently give ARM64 the
# x86 (32-bit packed) layouts. Each edit below must match the shipped text exactly as many times
# as expected, so a different header version fails here instead of producing a wrong driver.
# The layout cross-check (LayoutCompare.cmake) then proves the result against x64.

cmake_minimum_required(VERSION 3.25)

if(NOT DDK_DIR OR NOT OUT_DIR)
  message(FATAL_ERROR "PatchDdk.cmake: DDK_DIR and OUT_DIR are required")
endif()

function(pw_count_occurrences text needle out_var)
  set(count 0)
  string(LENGTH "${needle}" needle_length)
  while(TRUE)
    string(FIND "${text}" "${needle}" pos)
    if(pos EQUAL -1)
      break()
    endif()
    math(EXPR count "${count} + 1")
    math(EXPR next "${pos} + ${needle_length}")
    string(SUBSTRING "${text}" ${next} -1 text)
  endwhile()
  set(${out_var} ${count} PARENT_SCOPE)
endfunction()

# Replaces every occurrence of old by new in the variable content_var, which must hold old
# exactly `expected` times.
function(pw_edit content_var label expected old new)
  pw_count_occurrences("${${content_var}}" "${old}" found)
  if(NOT found EQUAL expected)
    message(FATAL_ERROR "PatchDdk: '${label}' matched ${found} times, expected ${expected}")
  endif()
  string(REPLACE "${old}" "${new}" result "${${content_var}}")
  set(${content_var} "${result}" PARENT_SCOPE)
endfunction()

# ---- wdm.h --------------------------------------------------------------------------------

file(READ "${DDK_DIR}/wdm.h" wdm)

# Kernel definitions for ARM64, beside the ARM32 branch. Only declarations for the routines
# that are inline elsewhere: the driver uses none of them.
pw_edit(wdm "ARM64 kernel definitions" 1
[==[#elif defined(_M_ARM)
#include <armddk.h>
#else
#error Unknown Architecture]==]
[==[#elif defined(_M_ARM64)
/** Kernel definitions for ARM64 (added at build time) **/

#define PASSIVE_LEVEL           0
#define LOW_LEVEL               0
#define APC_LEVEL               1
#define DISPATCH_LEVEL          2
#define CLOCK_LEVEL             13
#define IPI_LEVEL               14
#define DRS_LEVEL               14
#define POWER_LEVEL             14
#define PROFILE_LEVEL           15
#define HIGH_LEVEL              15

#define PAGE_SIZE               0x1000
#define PAGE_SHIFT              12L

typedef struct _KFLOATING_SAVE {
  ULONG Dummy;
} KFLOATING_SAVE, *PKFLOATING_SAVE;

NTHALAPI
KIRQL
NTAPI
KeGetCurrentIrql(VOID);

NTKERNELAPI
PKTHREAD
NTAPI
KeGetCurrentThread(VOID);

NTKERNELAPI
KIRQL
NTAPI
KeRaiseIrqlToDpcLevel(VOID);

#define YieldProcessor() __asm__ __volatile__("yield")
#define KeFlushIoBuffers(_Mdl, _ReadOperation, _DmaOperation)

#elif defined(_M_ARM)
#include <armddk.h>
#else
#error Unknown Architecture]==])

# The 64-bit interlocked names.
pw_edit(wdm "interlocked block" 1
[==[#if defined (_M_AMD64)

#define InterlockedExchangeAddSizeT]==]
[==[#if defined (_M_AMD64) || defined(_M_ARM64)

#define InterlockedExchangeAddSizeT]==])

# Layouts that are x86-only: lookaside lists, IO_STACK_LOCATION packing (pack(4) would put
# Parameters at offset 4 instead of 8), RtlExtendedIntegerMultiply as an import.
pw_edit(wdm "not-64-bit layout conditions" 5
[==[#if !defined(_AMD64_) && !defined(_IA64_)
]==]
[==[#if !defined(_AMD64_) && !defined(_IA64_) && !defined(_ARM64_)
]==])

# The 64-bit spin lock queue numbering and device queue layout.
pw_edit(wdm "spin lock queue numbers" 1
[==[#if defined(_AMD64_)

typedef ULONG64 KSPIN_LOCK_QUEUE_NUMBER;]==]
[==[#if defined(_AMD64_) || defined(_ARM64_)

typedef ULONG64 KSPIN_LOCK_QUEUE_NUMBER;]==])

pw_edit(wdm "device queue layout" 1
[==[# if defined(_AMD64_)
  _ANONYMOUS_UNION union {
    BOOLEAN Busy;]==]
[==[# if defined(_AMD64_) || defined(_ARM64_)
  _ANONYMOUS_UNION union {
    BOOLEAN Busy;]==])

# The 64-bit inline large-integer helpers (their imports are excluded above).
pw_edit(wdm "64-bit large integer inlines" 1
[==[#if defined(_AMD64_) || defined(_IA64_)

static __inline
LARGE_INTEGER
NTAPI_INLINE
RtlExtendedIntegerMultiply(]==]
[==[#if defined(_AMD64_) || defined(_IA64_) || defined(_ARM64_)

static __inline
LARGE_INTEGER
NTAPI_INLINE
RtlExtendedIntegerMultiply(]==])

pw_edit(wdm "64-bit interlocked compare exchange" 1
[==[#if defined(_AMD64_) || defined(_IA64_)

#define ExInterlockedCompareExchange64]==]
[==[#if defined(_AMD64_) || defined(_IA64_) || defined(_ARM64_)

#define ExInterlockedCompareExchange64]==])

# ---- ntddk.h ------------------------------------------------------------------------------

file(READ "${DDK_DIR}/ntddk.h" ntddk)

pw_edit(ntddk "ARM64 stack sizes" 1
[==[#elif defined(_M_ARM)
#else
#error Unknown Architecture]==]
[==[#elif defined(_M_ARM64)

#define PAUSE_PROCESSOR YieldProcessor();

#define KERNEL_STACK_SIZE 0x6000
#define KERNEL_LARGE_STACK_SIZE 0x12000

#elif defined(_M_ARM)
#else
#error Unknown Architecture]==])

file(MAKE_DIRECTORY "${OUT_DIR}")
file(WRITE "${OUT_DIR}/wdm.h" "${wdm}")
file(WRITE "${OUT_DIR}/ntddk.h" "${ntddk}")
