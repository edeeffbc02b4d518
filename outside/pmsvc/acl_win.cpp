#include "outside/pmsvc/acl_win.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "shared/base/win_handles.h"

namespace pmsvc {
namespace {

std::string Err(const std::string& what, DWORD e) {
    char code[48];
    std::snprintf(code, sizeof code, " (Win32 error %lu)", static_cast<unsigned long>(e));
    return what + code;
}

// The descriptor of an SDDL string, owned.
class Descriptor {
public:
    explicit Descriptor(const char* sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                 nullptr))
            sd_.reset(sd);
        else
            error_ = GetLastError();
    }
    PSECURITY_DESCRIPTOR get() const { return sd_.get(); }
    DWORD error() const { return error_; }

private:
    pm::win::unique_hlocal sd_;
    DWORD error_ = 0;
};

} // namespace

std::string SetDaclFromSddl(const std::string& path, const char* sddl) {
    Descriptor sd(sddl);
    if (!sd.get()) return Err(std::string("bad descriptor ") + sddl, sd.error());
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present)
        return Err(std::string("no DACL in ") + sddl, GetLastError());
    // SetNamedSecurityInfo takes a non-const name.
    std::string name = path;
    DWORD rc = SetNamedSecurityInfoA(
        &name[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, dacl, nullptr);
    if (rc != ERROR_SUCCESS) return Err("cannot set the permissions of " + path, rc);
    return {};
}

std::string WriteFileWithSddl(const std::string& path, const std::string& text, const char* sddl) {
    Descriptor sd(sddl);
    if (!sd.get()) return Err(std::string("bad descriptor ") + sddl, sd.error());
    SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
    const std::string tmp = path + ".tmp";
    DeleteFileA(tmp.c_str()); // a leftover would keep its own permissions
    {
        pm::win::unique_hfile f(CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f) return Err("cannot create " + tmp, GetLastError());
        DWORD written = 0;
        if (!WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            DWORD e = GetLastError();
            f.reset();
            DeleteFileA(tmp.c_str());
            return Err("cannot write " + tmp, e);
        }
    }
    if (!MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD e = GetLastError();
        DeleteFileA(tmp.c_str());
        return Err("cannot replace " + path, e);
    }
    return {};
}

} // namespace pmsvc
