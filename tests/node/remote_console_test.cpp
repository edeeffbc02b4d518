// The console's remote settings and its request path through a transport. Portable.
#include <gtest/gtest.h>

#include <cstdlib>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/node/command.h"

namespace pm::console {
namespace {

// The words of a command line.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    for (size_t at = 0; at < line.size();) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

TEST(RemoteSettingsTest, OptionsFileAndChecks) {
    const char* kConf = "# console\nservers = tls://10.0.0.5:4222, tls://10.0.0.6:4222\n"
                        "ca_file = ca.pem\nmachine = web01\nuser = ops\npassword_file = pw\n";
    const std::string local = "--server nats://127.0.0.1:4222 --machine ";
    const struct {
        std::string args;
        const char* conf;     // null: no file
        const char* machine;  // null: refused
        size_t servers, rest; // the servers, and the arguments left for the command
    } cases[] = {
        {local + "agent1 ps --json", nullptr, "agent1", 1, 2},
        // The options win over the file; --help after the command stays the command's.
        {"--machine web02 ps --help", kConf, "web02", 2, 2},
        {"ps", kConf, "web01", 2, 1},
        {local + "Web01 ps", nullptr, nullptr, 0, 0},
        {"--server nats://10.1.2.3:4222 --machine a ps", nullptr, nullptr, 0, 0},
        {"--server nats://[::1]:4222 --machine a ps", nullptr, "a", 1, 1},
        {"--server nats://127.0.0.1 --machine a ps", nullptr, nullptr, 0, 0},
        {"--server http://127.0.0.1:80 --machine a ps", nullptr, nullptr, 0, 0},
        {"--server nats://127.0.0.1:0 --machine a ps", nullptr, nullptr, 0, 0},
        {"--server nats://127.0.0.1:65536 --machine a ps", nullptr, nullptr, 0, 0},
        {local + "a --user u ps", nullptr, nullptr, 0, 0},
        {"--server nats://127.0.0.1:4222 --machine", nullptr, nullptr, 0, 0},
        {"ps", "sever = tls://x:1\n", nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::vector<std::string> args = Words(c.args);
        RemoteSettings s;
        std::string error;
        bool ok = TakeRemoteOptions(args, s, error) &&
                  (!c.conf || ApplyConsoleConf(c.conf, s, error)) && CheckRemoteSettings(s, error);
        EXPECT_EQ(ok, c.machine != nullptr) << error;
        if (!ok || !c.machine) continue;
        EXPECT_EQ(s.machine, c.machine);
        EXPECT_EQ(s.servers.size(), c.servers);
        EXPECT_EQ(args.size(), c.rest);
    }
    std::string pw;
    EXPECT_TRUE(PasswordFromFile("s3cret\r\nsecond\n", pw));
    EXPECT_EQ(pw, "s3cret");
    EXPECT_FALSE(PasswordFromFile("\nsecond\n", pw));
}

// Answers every request with a scripted outcome, and the reply message built from the request.
class ScriptedTransport final : public RequestTransport {
public:
    WireReply Exchange(const WireRequest& r) override {
        last = r;
        WireReply w = answer;
        if (w.outcome != WireOutcome::kReply) return w;
        Command c;
        if (!c.ParseRequest(r.message.data(), r.message.size())) return w;
        c.status = 7;
        c.AddResult("abc", 3);
        c.seq_no += seq_shift;
        struct Heap final : MessageMemory {
            void* Allocate(uint32_t n) override { return std::malloc(n); }
            void Free(void* m) override { std::free(m); }
        } heap;
        void* m = c.BuildReply(heap);
        w.message.assign(static_cast<const char*>(m), msg::DeclaredLength(m));
        heap.Free(m);
        w.message.resize(w.message.size() - cut);
        return w;
    }
    WireReply answer;
    WireRequest last;
    uint32_t seq_shift = 0;
    size_t cut = 0;
};

TEST(RequestTransportTest, ReplyPairingAndOutcomes) {
    ScriptedTransport t;
    Request req;
    req.code = 0x73124536;
    req.params = {std::string("\x00\x01\x00\x00", 4)}; // a monitor command buffer: list
    t.answer.outcome = WireOutcome::kReply;
    Reply r = SendThrough(t, req, "pmconsole-1");
    ASSERT_EQ(r.outcome, Reply::Outcome::kReply);
    EXPECT_EQ(r.status, 7u);
    ASSERT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.items[0], "abc");
    EXPECT_EQ(t.last.node, "ProcMgr");
    EXPECT_EQ(t.last.code, 0x73124536u);
    EXPECT_EQ(t.last.operation, "list");
    EXPECT_EQ(le::Load32(t.last.message.data()), t.last.message.size());

    // A reply to another request, or one cut short, is no reply.
    t.seq_shift = 1;
    EXPECT_EQ(SendThrough(t, req, "pmconsole-1").outcome, Reply::Outcome::kNoReply);
    t.seq_shift = 0;
    t.cut = 1;
    EXPECT_EQ(SendThrough(t, req, "pmconsole-1").outcome, Reply::Outcome::kNoReply);

    struct Case {
        WireOutcome outcome;
        uint32_t gate_status;
        int exit_code;
    };
    const Case cases[] = {
        {WireOutcome::kNoReply, 0, kExitNoReply},
        {WireOutcome::kNotPermitted, 0, kExitNotPermitted},
        {WireOutcome::kNoSuchMachine, 0, kExitNoSuchMachine},
        {WireOutcome::kGateStatus, 3, kExitAgentNotRunning},
        {WireOutcome::kGateStatus, 5, kExitNoReply},
        {WireOutcome::kGateStatus, 1, 1},
        {WireOutcome::kGateStatus, 4, 1},
        {WireOutcome::kConnectionLost, 0, kExitNoReply},
        {WireOutcome::kAbsentNode, 0, kExitNoReply},
    };
    for (const Case& c : cases) {
        t.answer.outcome = c.outcome;
        t.answer.gate_status = c.gate_status;
        Reply u = SendThrough(t, req, "pmconsole-1");
        EXPECT_NE(u.outcome, Reply::Outcome::kReply);
        EXPECT_EQ(UndeliveredExit(u), c.exit_code) << &c - cases;
    }
}

} // namespace
} // namespace pm::console
