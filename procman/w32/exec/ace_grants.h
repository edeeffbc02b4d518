// The access that a user logged on for Execute Command needs on the interactive window station
// and its desktop, as arithmetic over the bytes of an ACL (header: revision, pad, size 16-bit,
// ACE count 16-bit, pad 16-bit; each ACE: type, flags, size 16-bit, mask 32-bit, then the SID
// for the ACCESS_ALLOWED type). Portable: the Win32 side reads and writes the objects' DACLs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::exec {

constexpr uint8_t kAclRevision = 2;
constexpr uint8_t kAccessAllowedAceType = 0;
constexpr size_t kAclHeaderSize = 8;
// The window station: an inheritable generic ACE and one for the station itself.
constexpr uint8_t kWinstaInheritFlags = 0x0B; // object, container and inherit-only
constexpr uint32_t kWinstaInheritMask = 0xF0000000;
constexpr uint8_t kWinstaOwnFlags = 0x04; // no propagation of inheritance
constexpr uint32_t kWinstaOwnMask = 0x000F037F;
// The desktop: all desktop rights and the standard required ones.
constexpr uint32_t kDesktopMask = 0x000F01FF;

struct AclGrant {
    enum class Outcome {
        kUnchanged, // the SID already holds what it needs: the object is not written
        kNewAcl,    // acl holds the DACL to write
        kMalformed, // the old DACL or the SID is not well-formed
    };
    Outcome outcome = Outcome::kMalformed;
    std::vector<uint8_t> acl;
};

// Bytes in use (header and ACEs) of a well-formed ACL, or 0.
size_t AclBytesInUse(const uint8_t* acl, size_t size);

// An absent DACL (null) counts as 8 bytes in use and no ACE. The old ACEs come first, in their
// order; the new ones follow.
AclGrant GrantWindowStation(const uint8_t* dacl, size_t dacl_size, const std::string& sid);
AclGrant GrantDesktop(const uint8_t* dacl, size_t dacl_size, const std::string& sid);

// Appends an ACCESS_ALLOWED ACE (size SID length + 8) to a byte vector holding an ACL,
// updating its count (tests build old DACLs with it).
void AppendAllowedAce(std::vector<uint8_t>& acl, uint8_t flags, uint32_t mask,
                      const std::string& sid);
std::vector<uint8_t> EmptyAcl();

// Length of a SID's bytes (8 + 4 x sub-authority count), 0 when not well-formed.
size_t SidLength(const uint8_t* sid, size_t available);

} // namespace pm::exec
