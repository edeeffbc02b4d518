// The native console's NATS path against a real three-server nats-server cluster on loopback
// ports (tools/fleet/cluster.sh: TLS, users and permissions as the README gives them). A small
// libnats responder answers on agent1's subjects the way a gate does on the wire (headers,
// statuses, pieces), so that the console's side is checked without Wine.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/node/command.h"
#include "shared/remote/pieces.h"
#include "shared/remote/statuses.h"
#include "tests/remote/remote_request.h"

namespace pm::console {
namespace {

constexpr uint32_t kUpdates = 0x73124533; // allowed to every console role
constexpr uint32_t kExec = 0x73124535;    // not to the read-only role

// What the responder does, by the request's first parameter.
enum Behaviour : uint32_t {
    kWhole = 0,        // a 3 MiB item, its pieces sent last first
    kMissingPiece = 1, // the same without the second piece
    // 2..7: gate status (value - 1) without payload
    kSilent = 8, // never answers (a request in flight)
};
constexpr size_t kBigItem = 3u * 1024 * 1024 + 17;

std::string Item(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    return s;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

class Cluster {
public:
    Cluster() {
        dir_ = std::string(PM_TEST_BINARY_DIR) + "/fleet-test-" + std::to_string(getpid());
        base_ = 30000 + static_cast<int>(getpid() % 1500) * 20;
        ok_ = Run("gen " + dir_ + " " + std::to_string(base_) + " agent1 agent2") &&
              Run("start " + dir_ + " " + std::to_string(getpid()));
    }
    ~Cluster() {
        Run("stop " + dir_);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool Run(const std::string& args) const {
        const std::string cmd = std::string(PM_SOURCE_DIR) + "/tools/fleet/cluster.sh " + args;
        return std::system(cmd.c_str()) == 0;
    }
    std::string Url(int i) const { return "tls://127.0.0.1:" + std::to_string(base_ + i); }
    RemoteSettings As(const std::string& user, const std::vector<int>& servers = {0, 1, 2}) const {
        RemoteSettings s;
        for (int i : servers)
            s.servers.push_back(Url(i));
        s.ca_file = dir_ + "/ca.pem";
        s.user = user;
        s.machine = "agent1";
        return s;
    }
    std::string Password(const std::string& user) const {
        return Slurp(dir_ + "/users/" + user + ".password");
    }
    bool ok_ = false;
    std::string dir_;
    int base_ = 0;
};

// Answers agent1's requests as a gate would on the wire, connected to one server.
class Responder {
public:
    Responder(const Cluster& c, int server) {
        natsOptions_Create(&opts_);
        const std::string url = c.Url(server), ca = c.dir_ + "/ca.pem";
        const char* urls[] = {url.c_str()};
        natsOptions_SetServers(opts_, urls, 1);
        natsOptions_LoadCATrustedCertificates(opts_, ca.c_str());
        natsOptions_SetSecure(opts_, true);
        natsOptions_SetUserInfo(opts_, "agent1", c.Password("agent1").c_str());
        ok_ = natsConnection_Connect(&nc_, opts_) == NATS_OK &&
              natsConnection_Subscribe(&sub_, nc_, "procmgr.agent1.>", &OnMsg, this) == NATS_OK &&
              natsConnection_Flush(nc_) == NATS_OK;
    }
    ~Responder() {
        natsSubscription_Destroy(sub_);
        natsConnection_Destroy(nc_);
        natsOptions_Destroy(opts_);
    }
    bool ok_ = false;
    volatile int received_ = 0;

private:
    void Publish(const std::string& reply, const remote::HeaderList& headers,
                 const std::string& data) {
        natsMsg* m = nullptr;
        natsMsg_Create(&m, reply.c_str(), nullptr, data.data(), static_cast<int>(data.size()));
        for (const auto& h : headers)
            natsMsgHeader_Set(m, h.first.c_str(), h.second.c_str());
        natsConnection_PublishMsg(nc_, m);
        natsMsg_Destroy(m);
    }
    static void OnMsg(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<Responder*>(closure);
        self->received_ = self->received_ + 1;
        Command request;
        const std::string reply_to = natsMsg_GetReply(msg) ? natsMsg_GetReply(msg) : "";
        uint32_t behaviour = kWhole;
        if (request.ParseRequest(natsMsg_GetData(msg),
                                 static_cast<size_t>(natsMsg_GetDataLength(msg))))
            request.ParamU32(0, &behaviour);
        natsMsg_Destroy(msg);
        if (behaviour == kSilent || reply_to.empty()) return;
        if (behaviour >= 2 && behaviour < kSilent) {
            self->Publish(reply_to,
                          remote::StatusHeaders(static_cast<remote::GateStatus>(behaviour - 1)),
                          "");
            return;
        }
        const std::string item = Item(kBigItem);
        request.status = 0;
        request.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        test::HeapMemory memory;
        void* packed = request.BuildReply(memory);
        const std::string whole(static_cast<const char*>(packed), msg::DeclaredLength(packed));
        memory.Free(packed);
        const size_t piece = remote::PieceSize(natsConnection_GetMaxPayload(self->nc_));
        const uint32_t n = remote::PieceCount(whole.size(), piece);
        for (uint32_t i = n; i >= 1; --i) {
            if (behaviour == kMissingPiece && i == 2) continue;
            self->Publish(reply_to, remote::PieceHeaders(i, n, whole.size()),
                          whole.substr((i - 1) * piece, piece));
        }
    }
    natsOptions* opts_ = nullptr;
    natsConnection* nc_ = nullptr;
    natsSubscription* sub_ = nullptr;
};

class ConsoleClusterTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::system("command -v nats-server >/dev/null && command -v openssl >/dev/null") != 0)
            return;
        cluster_ = new Cluster();
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
        nats_Close();
    }
    void SetUp() override {
        if (!cluster_) GTEST_SKIP() << "nats-server or openssl is not installed";
        ASSERT_TRUE(cluster_->ok_) << "the cluster did not start";
    }
    std::unique_ptr<RequestTransport> Connect(const std::string& user,
                                              const std::vector<int>& servers = {0, 1, 2}) {
        std::string error;
        auto t = ConnectRemote(cluster_->As(user, servers), cluster_->Password(user), error);
        EXPECT_TRUE(t) << error;
        return t;
    }
    static Request Req(uint32_t code, uint32_t behaviour, uint32_t timeout_ms = 5000) {
        Request r;
        r.code = code;
        r.params = {test::U32(behaviour)};
        r.timeout_ms = timeout_ms;
        return r;
    }
    static Cluster* cluster_;
};
Cluster* ConsoleClusterTest::cluster_ = nullptr;

TEST_F(ConsoleClusterTest, RepliesOutcomesAndPermissions) {
    Responder gate(*cluster_, 1);
    ASSERT_TRUE(gate.ok_);
    auto op = Connect("operator", {0});
    auto ro = Connect("readonly", {2});
    auto agent2 = Connect("agent2");
    ASSERT_TRUE(op && ro && agent2);

    // A reply larger than the maximum payload, its pieces in reverse order: whole, in order.
    Reply whole = SendThrough(*op, Req(kUpdates, kWhole), "pmconsole-test");
    ASSERT_EQ(whole.outcome, Reply::Outcome::kReply) << whole.detail;
    ASSERT_EQ(whole.items.size(), 1u);
    EXPECT_TRUE(whole.items[0] == Item(kBigItem));

    struct Case {
        RequestTransport* via;
        Request request;
        Reply::Outcome outcome;
        int exit_code;
    };
    const Case cases[] = {
        {op.get(), Req(kUpdates, kMissingPiece, 1500), Reply::Outcome::kNoReply, kExitNoReply},
        {op.get(), Req(kUpdates, 1 + 3), Reply::Outcome::kAgentNotRunning, kExitAgentNotRunning},
        {op.get(), Req(kUpdates, 1 + 1), Reply::Outcome::kGateRefused, 1},
        {op.get(), Req(kUpdates, 1 + 5), Reply::Outcome::kNoReply, kExitNoReply},
        // The read-only role lists but may not execute; a machine's user reaches no machine.
        {ro.get(), Req(kUpdates, kWhole), Reply::Outcome::kReply, kExitReply},
        {ro.get(), Req(kExec, kWhole), Reply::Outcome::kNotPermitted, kExitNotPermitted},
        {agent2.get(), Req(kUpdates, kWhole), Reply::Outcome::kNotPermitted, kExitNotPermitted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        Reply r = SendThrough(*c.via, c.request, "pmconsole-test");
        EXPECT_EQ(r.outcome, c.outcome) << r.detail;
        if (r.outcome != Reply::Outcome::kReply) {
            EXPECT_EQ(UndeliveredExit(r), c.exit_code);
        }
    }
}

// (Nobody serving a machine: fleet_interop_test, through both consoles.)
TEST_F(ConsoleClusterTest, WrongPassword) {
    std::string error;
    EXPECT_FALSE(ConnectRemote(cluster_->As("operator"), "wrong", error));
    EXPECT_NE(error.find("user or password"), std::string::npos) << error;
}

// The server the console is connected to dies while the gate sits on a request: the request
// fails as lost, and is not sent again.
TEST_F(ConsoleClusterTest, ServerLostWithARequestInFlight) {
    Responder gate(*cluster_, 1);
    ASSERT_TRUE(gate.ok_);
    auto op = Connect("operator", {0});
    ASSERT_TRUE(op);
    Reply r;
    std::thread t([&] { r = SendThrough(*op, Req(kUpdates, kSilent, 60000), "pmconsole-test"); });
    for (int i = 0; i < 500 && gate.received_ == 0; ++i)
        usleep(10000);
    ASSERT_EQ(gate.received_, 1);
    EXPECT_TRUE(cluster_->Run("kill " + cluster_->dir_ + " 1"));
    t.join();
    EXPECT_EQ(r.outcome, Reply::Outcome::kConnectionLost);
    EXPECT_EQ(gate.received_, 1);
    cluster_->Run("start " + cluster_->dir_ + " " + std::to_string(getpid()));
}

} // namespace
} // namespace pm::console
