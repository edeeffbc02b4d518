// The installer's tests read descriptors back with this: for each path its DACL as SDDL, and
// whether it keeps local users out as the settings step intends.
//   dacl_probe --secret|--folder PATH...
//     --secret: protected, and users may not read it
//     --folder: protected, and users may not create, change or remove anything in it
//   dacl_probe --keeps PATH
//     whether this system keeps a file's DACL: gives PATH (a scratch file) the credentials'
//     descriptor and reads it back (Wine 8.0 does not: it maps a DACL onto the Unix mode bits
//     and makes one up from them when asked)
// Prints "PATH: SDDL" and, on a fault, why; exit 0 when every path passes, 1 otherwise,
// 2 usage.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "outside/pmsvc/acl_win.h"
#include "outside/pmsvc/at_rest.h"
#include "shared/base/win_handles.h"

namespace {

std::string DaclText(const char* path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        std::printf("%s: cannot read its descriptor (Win32 error %lu)\n", path,
                    static_cast<unsigned long>(rc));
        return {};
    }
    pm::win::unique_hlocal owned(sd);
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return {};
    pm::win::unique_hlocal owned_text(text);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const bool keeps = argc == 3 && std::strcmp(argv[1], "--keeps") == 0;
    if (argc < 3 || (std::strcmp(argv[1], "--secret") != 0 &&
                     std::strcmp(argv[1], "--folder") != 0 && !keeps)) {
        std::fprintf(stderr, "usage: dacl_probe --secret|--folder PATH... | --keeps PATH\n");
        return 2;
    }
    if (keeps) {
        const std::string e = pmsvc::SetDaclFromSddl(argv[2], pmsvc::kSecretSddl);
        if (!e.empty()) {
            std::printf("%s\n", e.c_str());
            return 1;
        }
        std::printf("set %s\n", pmsvc::kSecretSddl);
    }
    const bool secret = std::strcmp(argv[1], "--folder") != 0;
    int faults = 0;
    for (int i = 2; i < argc; ++i) {
        std::string sddl = DaclText(argv[i]);
        std::printf("%s: %s\n", argv[i], sddl.c_str());
        auto dacl = pmsvc::ReadDacl(sddl);
        const char* fault = nullptr;
        if (!dacl)
            fault = "no readable DACL";
        else if (!dacl->is_protected)
            fault = "inherits from its parent";
        else if (secret && (pmsvc::LocalUsersRights(*dacl) & pmsvc::kFileReadData))
            fault = "users may read it";
        else if (!secret && (pmsvc::LocalUsersRights(*dacl) & pmsvc::kAnyWrite))
            fault = "users may write in it";
        if (fault) {
            std::printf("  FAULT: %s\n", fault);
            ++faults;
        }
    }
    return faults == 0 ? 0 : 1;
}
