// `pmconsole serve` on Linux: HTTP and server-sent events (cpp-httplib): the guard every request
// passes, the routes (the fleet, its compliance, the cost, each machine's events and the changes,
// each a console command), the pages' assets, and the start and stop of the server. The fleet
// session behind the routes is serve_session_posix.cpp.
#include "outside/pmconsole/web/serve_posix.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "outside/pmconsole/web/serve_assets.h"
#include "outside/pmconsole/web/serve_guard.h"
#include "outside/pmconsole/web/serve_model.h"
#include "outside/pmconsole/web/serve_session_posix.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

using Clock = std::chrono::steady_clock;

std::string RandomToken() {
    unsigned char bytes[16] = {};
    std::ifstream random("/dev/urandom", std::ios::binary);
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (random.gcount() != sizeof bytes) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

// "Bearer X" -> "X"; "" for anything else.
std::string BearerToken(const std::string& authorization) {
    return authorization.compare(0, 7, "Bearer ") == 0 ? authorization.substr(7) : std::string();
}

// The scraper's token: a file of its own, never the page's token (a scraper must not be able
// to kill or execute).
bool ReadMetricsToken(const std::string& file, const std::string& page_token,
                      std::string& metrics_token) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || !TokenFromFile(text.str(), metrics_token)) {
        std::fprintf(stderr,
                     "pmconsole serve: the metrics token file %s cannot be read or its first "
                     "line is shorter than 16 characters\n",
                     file.c_str());
        return false;
    }
    if (SameToken(metrics_token, page_token)) {
        std::fprintf(stderr, "pmconsole serve: the metrics token must not be the page's token\n");
        return false;
    }
    return true;
}

// The HTTP side: the guard on every request, the routes, and the event streams of the pages.
class HttpServer {
public:
    HttpServer(ServeOptions options, RemoteSettings settings, std::string password,
               CompressedConverter to_compressed, TextDecoder decode)
        : session_(std::move(options), std::move(settings), std::move(password), to_compressed,
                   decode),
          options_(session_.options()) {}

    int Run();

private:
    // The machine a request names, when the fleet knows it (given, discovered or heard).
    ServedMachine* Find(const httplib::Request& req) {
        return session_.Find(req.get_param_value("machine"));
    }
    void Routes(httplib::Server& http);
    void ServeEvents(ServedMachine* m, httplib::Response& res);

    ServeSession session_;
    const ServeOptions& options_;
    StreamSlots streams_{kMaxEventStreams};
    const Clock::time_point started_ = Clock::now();
};

void HttpServer::ServeEvents(ServedMachine* m, httplib::Response& res) {
    m->Subscribe();
    auto next = std::make_shared<uint64_t>(0);
    auto opened = std::make_shared<bool>(false);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, m, next, opened](size_t, httplib::DataSink& sink) {
            std::vector<std::string> events;
            if (!*opened) {
                *opened = true;
                events = m->Opening(next.get());
                events.push_back(": open\n\n");
            } else {
                events = m->EventsFrom(next.get(), std::chrono::milliseconds(1000));
                if (events.empty()) events.push_back(": ping\n\n"); // finds a closed page
            }
            if (session_.stopping()) return false;
            for (const std::string& e : events)
                if (!sink.write(e.data(), e.size())) return false;
            return true;
        },
        [this, m](bool) {
            m->Unsubscribe();
            streams_.Release();
        });
}

// A value of the page's form, given to a console command as a word of its own: refused
// (empty) when it is missing or could be taken for an option.
std::string Value(const httplib::Request& r, const char* name) {
    std::string v = r.get_param_value(name);
    return v.empty() || v[0] == '-' ? std::string() : v;
}

// The arguments, or none when a value was refused.
std::vector<std::string> Checked(std::vector<std::string> args) {
    for (const std::string& a : args)
        if (a.empty()) return {};
    return args;
}

void SendJson(httplib::Response& res, const std::string& json, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void HttpServer::Routes(httplib::Server& http) {
    http.Get("/api/fleet", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, session_.FleetJson());
    });
    // The fleet's compliance: per policy, or one machine's with ?machine=NAME (from the
    // session's last reading: no request reaches an agent).
    http.Get("/api/compliance", [this](const httplib::Request& req, httplib::Response& res) {
        SendJson(res, session_.ComplianceJson(req.get_param_value("machine")));
    });
    http.Get("/api/cost", [this](const httplib::Request&, httplib::Response& res) {
        const auto up =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
        const ServeCost& cost = session_.cost();
        SendJson(res, "{\"requests\":" + std::to_string(cost.requests) +
                          ",\"bytes_sent\":" + std::to_string(cost.bytes_sent) +
                          ",\"bytes_received\":" + std::to_string(cost.bytes_received) +
                          ",\"watched_ms\":" + std::to_string(cost.watched_ms) +
                          ",\"up_ms\":" + std::to_string(up.count()) + "}");
    });
    // Whether the fleet knows a machine (no request reaches it).
    http.Get("/api/machine", [this](const httplib::Request& req, httplib::Response& res) {
        if (!Find(req))
            return SendJson(res,
                            "{\"ok\":false,\"word\":\"no such machine\",\"message\":\"no gate "
                            "of that name was heard of\"}",
                            404);
        SendJson(res, "{\"ok\":true,\"word\":\"known\"}");
    });
    http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        ServedMachine* m = Find(req);
        if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
        // Each stream holds a worker while its page is open: beyond the cap, the page is told
        // to come back, and the other workers stay free for plain requests.
        if (!streams_.TryTake()) {
            res.set_header("Retry-After", std::to_string(kEventStreamRetryS));
            return SendJson(res,
                            "{\"ok\":false,\"word\":\"busy\",\"message\":\"" +
                                std::to_string(kMaxEventStreams) +
                                " live pages are open: close one or try again later\"}",
                            503);
        }
        ServeEvents(m, res); // its end releases the slot
    });
    // The changes: each runs the console command of the same name and answers its result.
    struct Change {
        const char* path;
        std::vector<std::string> (*args)(const httplib::Request&);
        bool monitors;
    };
    static const Change kChanges[] = {
        {"/api/kill",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"kill", Value(r, "pid"), "--json"});
         },
         false},
        {"/api/service",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"svc", Value(r, "action"), Value(r, "name"), "--json"});
         },
         false},
        {"/api/exec",
         [](const httplib::Request& r) -> std::vector<std::string> {
             if (r.get_param_value("capture") == "1")
                 return Checked({"exec", "--capture", "--timeout", "10", "--json", "--",
                                 r.get_param_value("line")});
             return Checked({"exec", "--json", "--", r.get_param_value("line")});
         },
         false},
        {"/api/monitors/add",
         [](const httplib::Request& r) -> std::vector<std::string> {
             std::vector<std::string> a = {"monitors", "add", Value(r, "name")};
             if (r.has_param("on")) a.insert(a.end(), {"--on", Value(r, "on")});
             return Checked(a);
         },
         true},
        {"/api/monitors/delete",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"monitors", "delete", Value(r, "name")});
         },
         true},
    };
    for (const Change& c : kChanges) {
        http.Post(c.path, [this, &c](const httplib::Request& req, httplib::Response& res) {
            ServedMachine* m = Find(req);
            if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
            const std::vector<std::string> args = c.args(req);
            if (args.empty())
                return SendJson(res,
                                "{\"ok\":false,\"word\":\"bad request\",\"message\":"
                                "\"a value is missing or starts with '-'\"}",
                                400);
            const Captured result = session_.Command(*m, args);
            if (c.monitors) m->Refresh();
            SendJson(res, CapturedJson(result));
        });
    }
    http.Get("/api/monitors", [this](const httplib::Request& req, httplib::Response& res) {
        ServedMachine* m = Find(req);
        if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
        SendJson(res, CapturedJson(session_.Command(*m, {"monitors", "list", "--json"})));
    });
    http.Get(R"(/[a-z0-9./]*)", [](const httplib::Request& req, httplib::Response& res) {
        const Asset* a = FindAsset(req.path);
        if (!a) {
            res.status = 404;
            res.set_content("not found\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header(
            "Content-Security-Policy",
            "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
        res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
    });
}

// SIGINT and SIGTERM reach one thread, which stops the server.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

int HttpServer::Run() {
    std::string token;
    if (!options_.token_file.empty()) {
        std::ifstream in(options_.token_file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !TokenFromFile(text.str(), token)) {
            std::fprintf(stderr,
                         "pmconsole serve: the token file %s cannot be read or its first line "
                         "is shorter than 16 characters\n",
                         options_.token_file.c_str());
            return kExitUsage;
        }
    } else {
        token = RandomToken();
        if (token.empty()) {
            std::fprintf(stderr, "pmconsole serve: no random bytes for the token\n");
            return kExitNoReply;
        }
    }
    std::string metrics_token;
    if (!options_.metrics_token_file.empty() &&
        !ReadMetricsToken(options_.metrics_token_file, token, metrics_token))
        return kExitUsage;
    // Blocked in every thread the server starts; the waiting thread takes them.
    const sigset_t stop_set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

    // HTTPS when given a certificate and key (needed off the loopback: the token must not
    // cross the network in clear).
    const bool https = !options_.cert_file.empty();
    std::unique_ptr<httplib::Server> server =
        https ? std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(),
                                                     options_.key_file.c_str())
              : std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::fprintf(stderr,
                     "pmconsole serve: cannot use the certificate %s with the key %s (PEM files "
                     "that belong together)\n",
                     options_.cert_file.c_str(), options_.key_file.c_str());
        return kExitUsage;
    }
    httplib::Server& http = *server;
    http.new_task_queue = [] { return new httplib::ThreadPool(kServeWorkers); };
    // An idle kept-alive connection also holds a worker while it waits for its next request
    // (a browser keeps several, and the one of a refused stream): 1 s instead of 5.
    http.set_keep_alive_timeout(kServeKeepAliveS);
    const int port = options_.port == 0
                         ? http.bind_to_any_port(options_.host)
                         : (http.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "pmconsole serve: cannot listen on %s:%u\n", options_.host.c_str(),
                     options_.port);
        return kExitNoReply;
    }
    const RequestGuard guard(options_.host, static_cast<uint16_t>(port), token, options_.names,
                             https, metrics_token);
    http.set_pre_routing_handler([&guard](const httplib::Request& req, httplib::Response& res) {
        GuardInput in;
        in.method = req.method;
        in.path = req.path;
        in.host_header = req.get_header_value("Host");
        in.has_origin = req.has_header("Origin");
        in.origin_header = req.get_header_value("Origin");
        in.token = req.has_header("X-Pm-Token") ? req.get_header_value("X-Pm-Token")
                   : req.path == "/api/events"  ? req.get_param_value("token")
                                                : std::string();
        in.bearer = BearerToken(req.get_header_value("Authorization"));
        const GuardVerdict v = guard.Check(in);
        if (v.allowed) return httplib::Server::HandlerResponse::Unhandled;
        SendJson(res,
                 "{\"ok\":false,\"word\":\"refused\",\"message\":" + JsonString(v.reason) + "}",
                 v.http_status);
        return httplib::Server::HandlerResponse::Handled;
    });
    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(session_.MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
    });
    Routes(http);

    std::string error;
    if (!session_.Start(error)) {
        std::fprintf(stderr, "pmconsole serve: cannot connect: %s\n", error.c_str());
        return kExitNoReply;
    }

    const std::string shown = (https ? "https://" : "http://") + guard.Hosts().front();
    if (options_.token_file.empty())
        std::printf("pmconsole serve: %s/#token=%s\n", shown.c_str(), token.c_str());
    else
        std::printf("pmconsole serve: %s/ (the page asks for the token in %s)\n", shown.c_str(),
                    options_.token_file.c_str());
    std::fflush(stdout);

    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_set, &signal_number);
        session_.RequestStop();
        http.stop();
    });
    http.listen_after_bind();
    session_.RequestStop();
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM); // when listening ended by itself
        stopper.join();
    }
    session_.Stop();
    const ServeCost& cost = session_.cost();
    std::fprintf(stderr,
                 "pmconsole serve: stopped; %llu requests to the machines, %llu bytes sent, %llu "
                 "received, %.1f machine-minutes watched\n",
                 static_cast<unsigned long long>(cost.requests.load()),
                 static_cast<unsigned long long>(cost.bytes_sent.load()),
                 static_cast<unsigned long long>(cost.bytes_received.load()),
                 static_cast<double>(cost.watched_ms.load()) / 60000.0);
    return kExitReply;
}

} // namespace

int RunServe(const std::vector<std::string>& args, const RemoteSettings& settings,
             const std::string& password, CompressedConverter to_compressed, TextDecoder decode) {
    ServeOptions options;
    std::string error;
    if (!ParseServeArgs(args, options, error)) {
        std::fprintf(stderr, "pmconsole serve: %s\n%s", error.c_str(), kServeHelp);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kServeHelp, stdout);
        return kExitReply;
    }
    if (!settings.Remote()) {
        std::fprintf(stderr, "pmconsole serve: give --server URL and --machine NAME (or --conf "
                             "FILE) before serve\n");
        return kExitUsage;
    }
    HttpServer server(options, settings, password, to_compressed, decode);
    return server.Run();
}

} // namespace pm::console
