// nats_probe: one NATS login doing what a test tells it, step by step, so that the trust tests
// can try what a hostile user would against the real servers. Prints one line per outcome:
//   sub SUBJECT ok|refused          pub SUBJECT ok|refused
//   msg SUBJECT REPLY DATA          (a message heard on a subscription; REPLY "-" when none)
//   req SUBJECT ok DATA|refused|timeout|no-responders
//
//   nats_probe --server URL[,URL...] --ca FILE --user U --password-file F [--inbox PREFIX] STEP...
//   steps: sub SUBJECT | pub SUBJECT REPLY DATA ("-": no reply) | wait MS
//          | req SUBJECT DATA MS
// Exit codes: 0 the steps ran, 2 usage, 3 could not connect.
#include <nats/nats.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<std::string> g_errors; // the server's asynchronous permission errors

void OnError(natsConnection*, natsSubscription*, natsStatus, void*) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_errors.emplace_back(nats_GetLastError(nullptr) ? nats_GetLastError(nullptr) : "");
}

void OnMessage(natsConnection*, natsSubscription*, natsMsg* m, void*) {
    const char* reply = natsMsg_GetReply(m);
    std::string data(natsMsg_GetData(m), static_cast<size_t>(natsMsg_GetDataLength(m)));
    for (char& c : data)
        if (c == '\n' || c == '\r') c = ' ';
    std::lock_guard<std::mutex> hold(g_lock);
    std::printf("msg %s %s %s\n", natsMsg_GetSubject(m), reply && *reply ? reply : "-",
                data.c_str());
    std::fflush(stdout);
    natsMsg_Destroy(m);
}

// True when the server refused `what` ("Publish to" / "Subscription to") for `subject`.
bool Refused(natsConnection* nc, const char* what, const std::string& subject) {
    natsConnection_FlushTimeout(nc, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string needle = std::string(what) + " \"" + subject + "\"";
    for (const std::string& e : g_errors)
        if (e.find(needle) != std::string::npos) return true;
    return false;
}

int Usage() {
    std::fputs("usage: nats_probe --server URL --ca FILE --user U --password-file F "
               "[--inbox PREFIX] STEP...\n"
               "  steps: sub SUBJECT | pub SUBJECT REPLY DATA | wait MS | req SUBJECT DATA MS\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string server, ca, user, password_file, inbox;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const std::string a = argv[i];
        if (a == "--server")
            server = argv[i + 1];
        else if (a == "--ca")
            ca = argv[i + 1];
        else if (a == "--user")
            user = argv[i + 1];
        else if (a == "--password-file")
            password_file = argv[i + 1];
        else if (a == "--inbox")
            inbox = argv[i + 1];
        else
            return Usage();
    }
    if (server.empty() || i >= argc) return Usage();
    std::string password;
    if (!password_file.empty()) {
        std::ifstream f(password_file);
        std::getline(f, password);
    }
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    natsStatus st = natsOptions_Create(&opts);
    std::vector<std::string> urls;
    for (size_t start = 0, comma; start <= server.size(); start = comma + 1) {
        comma = server.find(',', start);
        if (comma == std::string::npos) comma = server.size();
        urls.push_back(server.substr(start, comma - start));
    }
    std::vector<const char*> url_list;
    for (const std::string& u : urls)
        url_list.push_back(u.c_str());
    if (st == NATS_OK)
        st = natsOptions_SetServers(opts, url_list.data(), static_cast<int>(url_list.size()));
    if (st == NATS_OK && !user.empty())
        st = natsOptions_SetUserInfo(opts, user.c_str(), password.c_str());
    if (st == NATS_OK && !ca.empty()) st = natsOptions_SetSecure(opts, true);
    if (st == NATS_OK && !ca.empty()) st = natsOptions_LoadCATrustedCertificates(opts, ca.c_str());
    if (st == NATS_OK && !inbox.empty()) st = natsOptions_SetCustomInboxPrefix(opts, inbox.c_str());
    if (st == NATS_OK) st = natsOptions_SetErrorHandler(opts, &OnError, nullptr);
    if (st == NATS_OK) st = natsOptions_SetMaxReconnect(opts, 0);
    if (st == NATS_OK) st = natsConnection_Connect(&nc, opts);
    if (st != NATS_OK) {
        std::fprintf(stderr, "nats_probe: cannot connect: %s\n", natsStatus_GetText(st));
        natsOptions_Destroy(opts);
        return 3;
    }
    std::vector<natsSubscription*> subs;
    for (; i < argc; ++i) {
        const std::string step = argv[i];
        if (step == "sub" && i + 1 < argc) {
            const std::string subject = argv[++i];
            natsSubscription* sub = nullptr;
            if (natsConnection_Subscribe(&sub, nc, subject.c_str(), &OnMessage, nullptr) == NATS_OK)
                subs.push_back(sub);
            const bool refused = Refused(nc, "Subscription to", subject);
            std::lock_guard<std::mutex> hold(g_lock);
            std::printf("sub %s %s\n", subject.c_str(), refused ? "refused" : "ok");
        } else if (step == "pub" && i + 3 < argc) {
            const std::string subject = argv[i + 1], reply = argv[i + 2], data = argv[i + 3];
            i += 3;
            if (reply == "-")
                natsConnection_Publish(nc, subject.c_str(), data.data(),
                                       static_cast<int>(data.size()));
            else
                natsConnection_PublishRequest(nc, subject.c_str(), reply.c_str(), data.data(),
                                              static_cast<int>(data.size()));
            const bool refused = Refused(nc, "Publish to", subject);
            std::lock_guard<std::mutex> hold(g_lock);
            std::printf("pub %s %s\n", subject.c_str(), refused ? "refused" : "ok");
        } else if (step == "wait" && i + 1 < argc) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[++i])));
        } else if (step == "req" && i + 3 < argc) {
            const std::string subject = argv[i + 1], data = argv[i + 2];
            const int ms = std::atoi(argv[i + 3]);
            i += 3;
            natsMsg* reply = nullptr;
            const natsStatus r = natsConnection_Request(&reply, nc, subject.c_str(), data.data(),
                                                        static_cast<int>(data.size()), ms);
            const bool refused = r != NATS_OK && Refused(nc, "Publish to", subject);
            std::lock_guard<std::mutex> hold(g_lock);
            if (r == NATS_OK && natsMsg_IsNoResponders(reply))
                std::printf("req %s no-responders\n", subject.c_str());
            else if (r == NATS_OK)
                std::printf("req %s ok %.*s\n", subject.c_str(), natsMsg_GetDataLength(reply),
                            natsMsg_GetData(reply));
            else if (r == NATS_NO_RESPONDERS)
                std::printf("req %s no-responders\n", subject.c_str());
            else
                std::printf("req %s %s\n", subject.c_str(), refused ? "refused" : "timeout");
            natsMsg_Destroy(reply);
        } else {
            natsConnection_Destroy(nc);
            natsOptions_Destroy(opts);
            return Usage();
        }
        std::fflush(stdout);
    }
    for (natsSubscription* s : subs)
        natsSubscription_Destroy(s);
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    return 0;
}
