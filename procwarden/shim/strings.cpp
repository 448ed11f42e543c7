// Kernel shim: counted-string routines.
#include "procwarden/shim/shim_internal.h"

#include <cstring>

namespace shim::internal {

std::u16string FromCounted(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Fold(const std::u16string& name) {
    std::u16string folded = name;
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

}  // namespace shim::internal

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) ++n;
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source != nullptr ? (n + 1) * sizeof(WCHAR) : 0);
}

static NTSTATUS AppendUnits(PUNICODE_STRING destination, const WCHAR* units, size_t count) {
    const size_t bytes = count * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<uint8_t*>(destination->Buffer) + destination->Length, units, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    // Like the kernel: terminate when there is room.
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) ++n;
    return AppendUnits(destination, source, n);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    return AppendUnits(destination, source->Buffer, source->Length / sizeof(WCHAR));
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char16_t digits[33];
    size_t n = 0;
    do {
        const ULONG d = value % base;
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
        value /= base;
    } while (value != 0);
    if ((n + 1) * sizeof(WCHAR) > string->MaximumLength && n * sizeof(WCHAR) > string->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
    string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if ((n + 1) * sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInSensitive) {
    if (a->Length != b->Length) return FALSE;
    for (size_t i = 0; i < a->Length / sizeof(WCHAR); ++i) {
        WCHAR x = a->Buffer[i];
        WCHAR y = b->Buffer[i];
        if (caseInSensitive) {
            if (x >= u'a' && x <= u'z') x = static_cast<WCHAR>(x - u'a' + u'A');
            if (y >= u'a' && y <= u'z') y = static_cast<WCHAR>(y - u'a' + u'A');
        }
        if (x != y) return FALSE;
    }
    return TRUE;
}
