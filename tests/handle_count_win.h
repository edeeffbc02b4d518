// The number of handles another process holds, read from outside: the system's whole handle
// table (SystemHandleInformation), which Wine fills in too; GetProcessHandleCount answers 0 there.
// For the tests' and the benchmarks' figures only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace pm::test {

struct HandleEntry { // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    ULONG owner_pid;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

inline size_t HandleCount(DWORD pid) {
    auto query = reinterpret_cast<NtQuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<unsigned char> buf(1 << 20);
    for (int i = 0; i < 8; ++i) {
        ULONG needed = 0;
        LONG status = query(16 /* SystemHandleInformation */, buf.data(),
                            static_cast<ULONG>(buf.size()), &needed);
        if (status == 0) break;
        if (status != static_cast<LONG>(0xC0000004)) return 0; // not a length mismatch
        buf.resize(buf.size() * 2);
    }
    auto* table = reinterpret_cast<HandleTable*>(buf.data());
    size_t n = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].owner_pid == pid) ++n;
    return n;
}

} // namespace pm::test
