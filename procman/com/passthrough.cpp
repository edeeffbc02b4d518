// Portable: the console's monitor commands (IndepPassthrough2). Every command is checked as a
// whole before anything changes; every change is saved at once. No OS code here.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "procman/com/plugin.h"
#include "shared/text/text_string.h"

namespace pm::monitor {

namespace {

bool IsZero(const OwnerId& owner) {
    for (uint8_t b : owner)
        if (b) return false;
    return true;
}

void HandOut(uint8_t* buffer, size_t size, uint8_t** reply, uint32_t* reply_size) {
    *reply = buffer;
    *reply_size = static_cast<uint32_t>(size);
}

// A one-u32 reply holding a monitor key, in a buffer allocated beforehand.
void KeyReply(uint8_t* buffer, uint32_t key, uint8_t** reply, uint32_t* reply_size) {
    WriteU32(buffer, key);
    HandOut(buffer, 4, reply, reply_size);
}

} // namespace

void Plugin::FreeBuffer(void* buffer) {
    std::free(buffer);
}

uint8_t* Plugin::AllocateReply(size_t size) {
    return static_cast<uint8_t*>(allocate_(size ? size : 1, 1));
}

uint32_t Plugin::Passthrough2(uint32_t mon_index, const uint8_t* command, size_t size,
                              uint8_t** reply, uint32_t* reply_size, const uint8_t* owner_bytes) {
    T0(__LINE__, "IndepPassthrough2 - ENTER");
    if (mon_index != 0 || !command || !reply || !reply_size) return 0;
    if (size < 4) return 0;
    const uint32_t code = ReadU32(command);
    if (tracing_) {
        char hex[16];
        const char* word = CommandWord(code);
        if (!word) {
            std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(code));
            word = hex;
        }
        TS(__LINE__, "IndepPassthrough2, command=%s", word);
    }
    OwnerId owner{};
    if (owner_bytes) std::memcpy(owner.data(), owner_bytes, owner.size());
    const bool filter = !IsZero(owner);

    CheckedCommand c;
    if (!CheckCommandBuffer(command, size, &c)) {
        // Unknown codes pass the check (they have no operands); a known one that fails it
        // does not hold together and changes nothing.
        TI(__LINE__, "!!IndepPassthrough2: malformed command 0x%lx refused",
           static_cast<long>(code));
        return 0;
    }
    switch (code) {
    case kCmdListAll:
    case kCmdListAll2:
        return CommandListAll(owner, filter, reply, reply_size) ? 1 : 0;
    case kCmdListPids:
        return CommandListPids(owner, filter, reply, reply_size) ? 1 : 0;
    case kCmdDelete:
        return CommandDelete(c);
    case kCmdAdd:
        return CommandAdd(c, owner, reply, reply_size);
    case kCmdReplace:
        return CommandReplace(c, owner, reply, reply_size);
    case kCmdReplaceAll:
        CommandReplaceAll(c, owner, filter);
        return 1;
    case kCmdUpdateAll:
        CommandUpdateAll(c, owner);
        return 1;
    default:
        *reply_size = 0;
        return 0;
    }
}

bool Plugin::CommandListAll(const OwnerId& owner, bool filter, uint8_t** reply, uint32_t* size) {
    // First pass: the listed monitors with their converted names, and the size; second pass:
    // the bytes.
    std::vector<std::pair<const ProcMonitor*, std::string>> listed;
    size_t total = 4;
    registry_.ForEach([&](ProcMonitor& m) {
        if (filter && m.definition.owner != owner) return;
        std::string name = Compressed(m.Name());
        total += m.NameOffset() + name.size() + 1;
        listed.emplace_back(&m, std::move(name));
    });
    // A list that cannot be allocated is not reported as carried out.
    uint8_t* b = AllocateReply(total);
    if (!b) return false;
    WriteU32(b, static_cast<uint32_t>(listed.size()));
    size_t at = 4;
    for (const auto& [m, name] : listed) {
        std::memcpy(b + at, m->Record().data(), m->NameOffset());
        at += m->NameOffset();
        std::memcpy(b + at, name.c_str(), name.size() + 1);
        at += name.size() + 1;
    }
    HandOut(b, total, reply, size);
    return true;
}

bool Plugin::CommandListPids(const OwnerId& owner, bool filter, uint8_t** reply, uint32_t* size) {
    size_t count = 0;
    registry_.ForEach([&](ProcMonitor& m) {
        if (!filter || m.definition.owner == owner) count += m.tracked.size();
    });
    const size_t total = 4 + 4 * count;
    // A list that cannot be allocated is not reported as carried out.
    uint8_t* b = AllocateReply(total);
    if (!b) return false;
    WriteU32(b, static_cast<uint32_t>(count));
    size_t at = 4;
    registry_.ForEach([&](ProcMonitor& m) {
        if (filter && m.definition.owner != owner) return;
        for (const TrackedProcess& t : m.tracked) {
            WriteU32(b + at, t.pid);
            at += 4;
        }
    });
    HandOut(b, total, reply, size);
    return true;
}

uint32_t Plugin::CommandDelete(const CheckedCommand& c) {
    T0(__LINE__, "IndepPassthrough2.PROCMAN_DELETE - entered");
    if (registry_.Empty()) return 1;
    TextString s(std::string(reinterpret_cast<const char*>(c.name), c.name_length).c_str());
    if (!s.FromCompressedUnicode()) return 0;
    const std::string name = s.CStr();
    ProcMonitor* found = nullptr;
    registry_.ForEach([&](ProcMonitor& m) {
        if (!found && name == m.Name()) found = &m;
    });
    if (!found) return 0;
    DeleteMonitor(found);
    SaveDefinitions();
    return 1;
}

uint32_t Plugin::CommandAdd(const CheckedCommand& c, const OwnerId& owner, uint8_t** reply,
                            uint32_t* size) {
    T0(__LINE__, "IndepPassthrough2.PROCMAN_ADD - entered");
    // The reply first: a command that cannot answer is not carried out and changes nothing.
    uint8_t* key_reply = AllocateReply(4);
    if (!key_reply) return 0;
    const uint8_t* record = c.records[0];
    const char* received = reinterpret_cast<const char*>(record + ReadU16(record + kNameOffsetAt));
    const ProcMonitor* found = nullptr;
    registry_.ForEach([&](ProcMonitor& m) {
        if (found) return;
        T0(__LINE__, "IndepPassthrough2.PROCMAN_ADD - searching through existing records");
        if (std::strcmp(received, m.Name()) == 0) found = &m;
    });
    if (found) {
        T0(__LINE__, "IndepPassthrough2.PROCMAN_ADD - found a matching record");
        KeyReply(key_reply, found->Key(), reply, size);
        return 1;
    }
    T0(__LINE__, "IndepPassthrough2.PROCMAN_ADD - inserting a new record");
    CreateMonitor(record, true, owner);
    SaveDefinitions();
    T0(__LINE__, "IndepPassthrough2.PROCMAN_ADD - after inserting a new record");
    KeyReply(key_reply, ReadU32(record + kKeyAt), reply, size);
    return 1;
}

uint32_t Plugin::CommandReplace(const CheckedCommand& c, const OwnerId& owner, uint8_t** reply,
                                uint32_t* size) {
    T0(__LINE__, "IndepPassthrough2.PROCMAN_REPLACE - entered");
    const uint8_t* record = c.records[0];
    const uint32_t key = ReadU32(record + kKeyAt);
    // The reply first: a command that cannot answer is not carried out and changes nothing.
    uint8_t* key_reply = AllocateReply(4);
    if (!key_reply) return 0;
    if (registry_.Empty()) {
        KeyReply(key_reply, key, reply, size);
        return 1;
    }
    ProcMonitor* found = nullptr;
    registry_.ForEach([&](ProcMonitor& m) {
        if (!found && m.Key() == key) found = &m;
    });
    if (!found) {
        FreeBuffer(key_reply);
        return 0;
    }
    DeleteMonitor(found);
    CreateMonitor(record, true, owner);
    SaveDefinitions();
    KeyReply(key_reply, key, reply, size);
    return 1;
}

void Plugin::CommandReplaceAll(const CheckedCommand& c, const OwnerId& owner, bool filter) {
    T0(__LINE__, "IndepPassthrough2.PROCMAN_REPLACE_ALL - entered");
    std::vector<ProcMonitor*> doomed;
    registry_.ForEach([&](ProcMonitor& m) {
        if (!filter || m.definition.owner == owner) doomed.push_back(&m);
    });
    for (ProcMonitor* m : doomed)
        DeleteMonitor(m);
    TI(__LINE__, "# of monitors to create = %d", static_cast<long>(c.records.size()));
    for (const uint8_t* record : c.records)
        CreateMonitor(record, true, owner);
    SaveDefinitions();
}

void Plugin::CommandUpdateAll(const CheckedCommand& c, const OwnerId& owner) {
    T0(__LINE__, "IndepPassthrough2.PROCMAN_UPDATE_ALL - entered");
    for (const uint8_t* record : c.records) {
        const uint32_t key = ReadU32(record + kKeyAt);
        ProcMonitor* found = nullptr;
        registry_.ForEach([&](ProcMonitor& m) {
            if (!found && m.Key() == key) found = &m;
        });
        if (found) DeleteMonitor(found);
        CreateMonitor(record, true, owner);
    }
    if (!c.records.empty()) SaveDefinitions();
}

} // namespace pm::monitor
