// Win32 handle kinds, one alias each. reset() keeps GetLastError intact so that a failing
// call's error survives the cleanup of what it had opened.
#pragma once

#include <windows.h>

#include "shared/base/unique_resource.h"

namespace pm::win {

struct HandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        CloseHandle(v);
        SetLastError(err);
    }
};
struct FileHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type v) noexcept { HandleTraits::close(v); }
};
struct RegKeyTraits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        RegCloseKey(v);
        SetLastError(err);
    }
};
struct ServiceHandleTraits {
    using type = SC_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        CloseServiceHandle(v);
        SetLastError(err);
    }
};
struct ModuleTraits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        FreeLibrary(v);
        SetLastError(err);
    }
};
struct HeapBlockTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept { HeapFree(GetProcessHeap(), 0, v); }
};

struct LocalBlockTraits { // what the SDDL and SID conversions hand back
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        LocalFree(v);
        SetLastError(err);
    }
};

using unique_handle = UniqueResource<HandleTraits>;    // null is invalid
using unique_hfile = UniqueResource<FileHandleTraits>; // INVALID_HANDLE_VALUE is invalid
using unique_hkey = UniqueResource<RegKeyTraits>;
using unique_schandle = UniqueResource<ServiceHandleTraits>;
using unique_hmodule = UniqueResource<ModuleTraits>;
using unique_heap_block = UniqueResource<HeapBlockTraits>;
using unique_hlocal = UniqueResource<LocalBlockTraits>;

} // namespace pm::win
