// Portable: ACL bytes only.
#include "procman/w32/exec/ace_grants.h"

#include <cstring>

#include "shared/base/endian.h"

namespace pm::exec {
namespace {

// ACL and ACE sizes and counts are 16-bit: the callers keep them below 0x10000.
void Put16(uint8_t* p, size_t v) {
    le::Store16(p, static_cast<uint16_t>(v));
}

struct Ace {
    uint8_t type;
    uint8_t flags;
    uint32_t mask; // only for the ACCESS_ALLOWED type
    const uint8_t* bytes;
    size_t size;
};

// Walks the ACEs; false when one does not fit the ACL.
template <typename Visit> bool ForEachAce(const uint8_t* acl, size_t size, Visit visit) {
    if (!acl) return true;
    if (size < kAclHeaderSize) return false;
    size_t limit = le::Load16(acl + 2); // the ACL's own size: within the bytes, header included
    if (limit > size || limit < kAclHeaderSize) return false;
    size_t at = kAclHeaderSize;
    for (unsigned i = 0, n = le::Load16(acl + 4); i < n; ++i) {
        if (limit - at < 4) return false;
        size_t ace_size = le::Load16(acl + at + 2);
        if (ace_size < 4 || ace_size > limit - at) return false;
        Ace ace{acl[at], acl[at + 1], ace_size >= 8 ? le::Load32(acl + at + 4) : 0, acl + at,
                ace_size};
        if (!visit(ace)) return true;
        at += ace_size;
    }
    return true;
}

bool AllowsSid(const Ace& ace, const std::string& sid) {
    return ace.type == kAccessAllowedAceType && ace.size >= 8 + sid.size() &&
           std::memcmp(ace.bytes + 8, sid.data(), sid.size()) == 0 &&
           SidLength(ace.bytes + 8, ace.size - 8) == sid.size();
}

std::vector<uint8_t> NewAcl(size_t size) {
    std::vector<uint8_t> acl(size, 0);
    acl[0] = kAclRevision;
    Put16(&acl[2], size);
    return acl;
}

// Copies the old ACEs to the new ACL's start; false when the old one is malformed.
bool CopyAces(const uint8_t* dacl, size_t dacl_size, std::vector<uint8_t>& acl, size_t* at) {
    *at = kAclHeaderSize;
    unsigned count = 0;
    bool ok = ForEachAce(dacl, dacl_size, [&](const Ace& ace) {
        std::memcpy(&acl[*at], ace.bytes, ace.size);
        *at += ace.size;
        ++count;
        return true;
    });
    Put16(&acl[4], count);
    return ok;
}

void PutAce(std::vector<uint8_t>& acl, size_t* at, uint8_t flags, uint32_t mask,
            const std::string& sid) {
    uint8_t* p = &acl[*at];
    p[0] = kAccessAllowedAceType;
    p[1] = flags;
    Put16(p + 2, 8 + sid.size());
    le::Store32(p + 4, mask);
    std::memcpy(p + 8, sid.data(), sid.size());
    *at += 8 + sid.size();
    Put16(&acl[4], le::Load16(&acl[4]) + 1);
}

bool ValidInput(const uint8_t* dacl, size_t dacl_size, const std::string& sid, size_t* in_use) {
    if (SidLength(reinterpret_cast<const uint8_t*>(sid.data()), sid.size()) != sid.size() ||
        sid.empty())
        return false;
    *in_use = dacl ? AclBytesInUse(dacl, dacl_size) : kAclHeaderSize;
    return *in_use != 0;
}

} // namespace

size_t SidLength(const uint8_t* sid, size_t available) {
    if (!sid || available < 8 || sid[0] != 1 || sid[1] > 15) return 0;
    size_t length = 8 + 4 * size_t(sid[1]);
    return length <= available ? length : 0;
}

size_t AclBytesInUse(const uint8_t* acl, size_t size) {
    size_t in_use = kAclHeaderSize;
    bool ok = acl && ForEachAce(acl, size, [&](const Ace& ace) {
                  in_use += ace.size;
                  return true;
              });
    return ok ? in_use : 0;
}

AclGrant GrantWindowStation(const uint8_t* dacl, size_t dacl_size, const std::string& sid) {
    AclGrant grant;
    size_t in_use = 0;
    if (!ValidInput(dacl, dacl_size, sid, &in_use)) return grant;
    bool has_own = false, has_inherit = false;
    ForEachAce(dacl, dacl_size, [&](const Ace& ace) {
        if (AllowsSid(ace, sid)) {
            has_own |= ace.flags == kWinstaOwnFlags && ace.mask == kWinstaOwnMask;
            has_inherit |= ace.flags == kWinstaInheritFlags && ace.mask == kWinstaInheritMask;
        }
        return true;
    });
    if (has_own && has_inherit) {
        grant.outcome = AclGrant::Outcome::kUnchanged;
        return grant;
    }
    size_t size = in_use + 2 * sid.size() + 16;
    if (size > 0xFFFF) return grant;
    grant.acl = NewAcl(size);
    size_t at = 0;
    if (!CopyAces(dacl, dacl_size, grant.acl, &at)) return grant;
    if (!has_inherit) PutAce(grant.acl, &at, kWinstaInheritFlags, kWinstaInheritMask, sid);
    if (!has_own) PutAce(grant.acl, &at, kWinstaOwnFlags, kWinstaOwnMask, sid);
    grant.outcome = AclGrant::Outcome::kNewAcl;
    return grant;
}

AclGrant GrantDesktop(const uint8_t* dacl, size_t dacl_size, const std::string& sid) {
    AclGrant grant;
    size_t in_use = 0;
    if (!ValidInput(dacl, dacl_size, sid, &in_use)) return grant;
    bool present = false;
    ForEachAce(dacl, dacl_size, [&](const Ace& ace) {
        present = AllowsSid(ace, sid);
        return !present;
    });
    if (present) {
        grant.outcome = AclGrant::Outcome::kUnchanged;
        return grant;
    }
    size_t size = in_use + sid.size() + 8;
    if (size > 0xFFFF) return grant;
    grant.acl = NewAcl(size);
    size_t at = 0;
    if (!CopyAces(dacl, dacl_size, grant.acl, &at)) return grant;
    PutAce(grant.acl, &at, 0, kDesktopMask, sid);
    grant.outcome = AclGrant::Outcome::kNewAcl;
    return grant;
}

std::vector<uint8_t> EmptyAcl() {
    return NewAcl(kAclHeaderSize);
}

void AppendAllowedAce(std::vector<uint8_t>& acl, uint8_t flags, uint32_t mask,
                      const std::string& sid) {
    size_t at = acl.size();
    acl.resize(at + 8 + sid.size());
    Put16(&acl[2], acl.size());
    PutAce(acl, &at, flags, mask, sid);
}

} // namespace pm::exec
