// What the installer's settings step locks down on disk, and how a DACL written in SDDL reads.
// Portable: no OS calls. setup_win.cpp applies the plan through acl_win.h; the installer's tests
// read the descriptors back and judge them with ReadDacl and LocalUsersRights.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pmsvc {

// SYSTEM and Administrators only, nothing inherited from the folder: the gate's copied
// credentials (its NATS user and password).
inline constexpr char kSecretSddl[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
// SYSTEM and Administrators full, Users read and list (0x1200a9: read, execute, synchronize),
// for the folder and everything created in it; nothing inherited from above. The folders where
// programs running as SYSTEM read their settings (velstra.ini) and write their logs.
inline constexpr char kServiceFolderSddl[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

struct Lockdown {
    std::string path;
    const char* sddl;
};

// A folder the step may give a protected DACL: an absolute path with a drive letter and at least
// two folders below the root ("C:\ProgramData\Orvane" yes; "C:\", "C:\ProgramData", relative
// and UNC paths no), so a setting pointing at a shared folder never locks everyone else out.
[[nodiscard]] bool LockableFolder(std::string_view dir);

// What gets which descriptor: the credentials copy in the programs' folder (when `credentials`
// names it), the data and the log folder (when set and lockable; one entry when both are the
// same folder). Folders are given back without a trailing backslash.
[[nodiscard]] std::vector<Lockdown> PlanLockdown(const std::string& program_dir,
                                                 const std::string& data_dir,
                                                 const std::string& log_dir,
                                                 const std::string& credentials);

// The service's image path in quotes, when the service manager holds it without: an unquoted
// "C:\Program Files\Orvane\ProcMgr\pmsvc.exe" may start C:\Program.exe as the service.
// `exe` is pmsvc.exe's own path; an image path that is not it (with or without arguments after
// a blank) is left alone, as is one already quoted. Nothing when there is nothing to change.
[[nodiscard]] std::optional<std::string> QuotedImagePath(const std::string& current,
                                                         const std::string& exe);

// One access-control entry of a DACL.
struct Ace {
    bool allow = true; // A (allow) or D (deny); other kinds are kept as deny (never granting)
    bool inherit_only = false;
    uint32_t mask = 0; // generic rights already mapped to file rights
    std::string sid;   // as written: an alias ("BU") or "S-1-5-32-545"
};

struct Dacl {
    bool null_dacl = false;    // "NO_ACCESS_CONTROL": everyone may do everything
    bool is_protected = false; // "P": nothing inherited from the parent
    std::vector<Ace> aces;
};

// The DACL part ("D:...") of an SDDL string, or nothing when there is none or it is malformed.
[[nodiscard]] std::optional<Dacl> ReadDacl(std::string_view sddl);

// The file rights the DACL's allow entries give to groups every local user belongs to (Users,
// Everyone, Authenticated Users, Interactive, Anonymous, Guests, Power Users), on the object or
// on what is created in it. A null DACL gives everything.
[[nodiscard]] uint32_t LocalUsersRights(const Dacl& dacl);

constexpr uint32_t kFileReadData = 0x0001;   // also: list a folder
constexpr uint32_t kFileWriteData = 0x0002;  // also: create files in a folder
constexpr uint32_t kFileAppendData = 0x0004; // also: create folders in a folder
constexpr uint32_t kFileWriteEa = 0x0010;
constexpr uint32_t kFileDeleteChild = 0x0040;
constexpr uint32_t kFileWriteAttributes = 0x0100;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
// Any of these lets a user change, create or remove what the folder holds, or its permissions.
constexpr uint32_t kAnyWrite = kFileWriteData | kFileAppendData | kFileWriteEa | kFileDeleteChild |
                               kFileWriteAttributes | kDelete | kWriteDac | kWriteOwner;

} // namespace pmsvc
