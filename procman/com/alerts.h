// Alerts: what the pulse queues for the host and the byte layouts a fetch hands over. The
// queue is a stack (newest first). Each alert carries its own copy of the process name, so
// deleting its monitor neither loses the alert nor leaves it pointing at freed storage.
// Portable: no OS code here.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "procman/com/definitions_file.h"

namespace pm::monitor {

enum AlertKind : uint8_t {
    kAlertTerminated = 1,
    kAlertStarted = 2,
    kAlertFailedToStart = 4,
};

// Alert type codes (the alert nodes of a monitor) and alert classes, by kind.
constexpr uint16_t kTypeStarted = 0x900;
constexpr uint16_t kTypeTerminated = 0x901;
constexpr uint16_t kTypeFailedToStart = 0x902;
uint16_t AlertTypeCode(uint8_t kind);
uint16_t AlertClass(uint8_t kind);
// The catalog string naming the kind (200, 201, 202) and the message-text resources.
unsigned AlertKindStringId(uint8_t kind);
unsigned MessageFirstPartId(uint8_t kind);
unsigned MessageLastPartId(uint8_t kind);
// "process.stopped", "process.started", "process.failed".
const char* AlertKeyText(uint8_t kind);

constexpr uint32_t kMonitorTypeNumber = 1093223018; // 0x4129426A
constexpr const char* kBundleName = "com.orvane.kav.procman.ProcManResources";
// Fixed buffers the keys are prepared in (terminator included).
constexpr size_t kBundleKeyBuffer = 88;
constexpr size_t kStoppedKeyBuffer = 40;
constexpr size_t kStartedKeyBuffer = 36;
constexpr size_t kFailedKeyBuffer = 40;

struct PendingAlert {
    uint8_t alert_level = 0;
    uint8_t kind = 0;
    std::string process_name; // the monitor's stored name, copied
    std::array<uint8_t, kOwnerIdSize> owner{};
    uint32_t event_time = 0;
};

// The owner bytes an alert carries: the owner id, or "Alert" and its NUL when the id is all
// zero (the two bytes after it zero).
std::array<uint8_t, kOwnerIdSize> AlertOwner(const OwnerId& owner);

class AlertQueue {
public:
    void Push(PendingAlert alert) { stack_.push_front(std::move(alert)); }
    [[nodiscard]] bool Empty() const { return stack_.empty(); }
    [[nodiscard]] size_t Size() const { return stack_.size(); }
    [[nodiscard]] const PendingAlert& Front() const { return stack_.front(); }
    void Pop() { stack_.pop_front(); }

private:
    std::deque<PendingAlert> stack_;
};

// Node path packet: u32 size, u8 type 1, the language code in 6 bytes (NUL-terminated, at most
// 5 characters), u32 members (4), four u32 element offsets, u32 0, then the four elements
// NUL-terminated back to back from offset 35.
constexpr size_t kPacketHeaderSize = 35;
std::vector<uint8_t> BuildNodePathPacket(const std::string& language_code,
                                         const std::array<std::string, 4>& elements);

// "%010lu" of a number.
std::string TenDigits(uint32_t value);

} // namespace pm::monitor
