// The one place where procwarden meets the kernel.
//
// Windows builds include the DDK headers. The linux build (PROCWARDEN_SHIM) includes the
// user-mode kernel shim, which declares the same names with the same meaning for the small
// subset of the kernel interface the driver uses, so the driver sources compile unchanged
// against both.
#pragma once

#if defined(PROCWARDEN_SHIM)

#include "procwarden/shim/ntshim.h"
// UTF-16 literal: WCHAR is char16_t in the shim.
#define PW_TEXT(s) u##s

#else

#include <ntifs.h>
// UTF-16 literal: WCHAR is wchar_t (16 bits) on Windows.
#define PW_TEXT(s) L##s

#endif

// Pool tags are stored as four bytes in memory order.
#define PW_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

// A counted string over a literal (the terminating zero is not counted).
#define PW_CONST_STRING(s) \
    { (USHORT)(sizeof(PW_TEXT(s)) - sizeof(WCHAR)), (USHORT)sizeof(PW_TEXT(s)), (PWCH)PW_TEXT(s) }
