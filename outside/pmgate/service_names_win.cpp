// Win32: the services' key and display names.
#include "outside/pmgate/service_names_win.h"

#include <windows.h>

#include <memory>
#include <string>

namespace pm::gate {
namespace {

struct ScHandleClose {
    void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleClose>;

std::string Utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

} // namespace

bool ReadServiceNames(std::vector<ServiceName>& out) {
    out.clear();
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return false;
    DWORD needed = 0, count = 0, resume = 0;
    std::vector<unsigned char> buffer;
    // The list may grow between the two calls: asked again with the size it then needs.
    for (int tries = 0; tries < 4; ++tries) {
        const BOOL done = EnumServicesStatusW(
            manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL,
            buffer.empty() ? nullptr : reinterpret_cast<LPENUM_SERVICE_STATUSW>(buffer.data()),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
        if (done) {
            const auto* s = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
            for (DWORD i = 0; i < count; ++i)
                out.push_back({Utf8(s[i].lpServiceName), Utf8(s[i].lpDisplayName)});
            return true;
        }
        if (GetLastError() != ERROR_MORE_DATA) return false;
        buffer.assign(buffer.size() + needed, 0);
        resume = 0;
        out.clear();
    }
    return false;
}

} // namespace pm::gate
