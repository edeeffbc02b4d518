// Server lines under libFuzzer: any bytes, fed whole, then split at every byte (the first
// 512 bytes' worth of split points), must give the same events or break at the same place;
// every INFO and header block seen goes through its reader too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "shared/nats/headers.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_info.h"
#include "tests/nats/event_log.h"

namespace {

// Every INFO and header block seen also goes through its reader.
class Sink final : public pm::test::EventLog {
public:
    void OnInfo(const std::string& json) override {
        pm::nats::ServerInfo info;
        pm::nats::ParseServerInfo(json, info);
        EventLog::OnInfo(json);
    }
    void OnMessage(pm::nats::Message& m) override {
        pm::nats::HeaderBlock h;
        if (!m.headers.empty()) pm::nats::ParseHeaderBlock(m.headers, h);
        EventLog::OnMessage(m);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string whole = pm::test::FeedInPieces<Sink>(bytes, std::vector<size_t>{}, 1 << 16);
    const size_t cuts = size < 512 ? size : 512;
    for (size_t cut = 0; cut < cuts; ++cut)
        if (pm::test::FeedInPieces<Sink>(bytes, std::vector<size_t>{cut}, 1 << 16) != whole)
            std::abort();
    return 0;
}
