// The parameters of Execute Command are the console's bytes, and a DACL's bytes come from the
// system: any of them must be handled without reading outside them, with one reply.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "procman/w32/exec/ace_grants.h"
#include "procman/w32/exec/exec_process.h"
#include "tests/exec/fake_exec_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm;
    if (size < 3) return 0;
    const uint8_t count = data[0] % 9, win95 = data[1] & 1, grant = data[1] & 2;
    data += 2;
    size -= 2;

    exec::test::FakeExecPlatform p;
    p.win95 = win95 != 0;
    p.anonymous = (data[0] >> 4) & 1;
    p.restrict_readable = true;
    p.variables.environment = {{"A", "a"}, {"", "empty"}};
    p.output = {"out"};
    auto* c = new Command(0x73124535);
    c->flags = Command::kFlagDeferredReply;
    // Parameters split at the bytes' 0xFF separators, each an exact-size copy.
    std::vector<std::vector<uint8_t>> params(1);
    for (size_t i = 1; i < size && params.size() <= count; ++i) {
        if (data[i] == 0xFF)
            params.emplace_back();
        else
            params.back().push_back(data[i]);
    }
    for (auto& param : params)
        c->AddParamTakeOver(param.empty() ? std::malloc(1) : [&] {
            void* b = std::malloc(param.size());
            std::memcpy(b, param.data(), param.size());
            return b;
        }(), uint32_t(param.size()));
    int replies = 0;
    exec::ExecProcess(c, p, [&](Command* done) {
        ++replies;
        delete done;
        return true;
    });
    if (replies != 1 || p.held.mutex != 0 || p.held.processes != 0) std::abort();

    if (grant) {
        std::vector<uint8_t> acl(data, data + size);
        const std::string sid("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
        (void)exec::GrantWindowStation(acl.data(), acl.size(), sid);
        (void)exec::GrantDesktop(acl.data(), acl.size(), sid);
    }
    return 0;
}
