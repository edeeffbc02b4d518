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

#include "shared/monitor/definitions_file.h"
#include "shared/monitor/node_packets.h"

namespace pm::monitor {

enum AlertKind : uint8_t {
    kAlertTerminated = 1,
    kAlertStarted = 2,
    kAlertFailedToStart = 4,
};

// Alert classes and the alert type codes (node_packets.h), by kind.
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

} // namespace pm::monitor
