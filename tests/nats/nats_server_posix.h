// A real nats-server on a free loopback port for a native test, in a directory of its own,
// stopped and removed at the end (also when the test crashes).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace pm::test {

inline bool HaveNatsServer() {
    return std::system("command -v nats-server >/dev/null") == 0;
}

class NatsServer {
public:
    // `config` (may be empty) is written to server.conf; `args` are added to the command line
    // (with -js the JetStream store is kept in the server's directory, removed with it).
    explicit NatsServer(const std::string& config = std::string(),
                        std::vector<std::string> args = {}, int port = 0)
        : port_(port == 0 ? FreePort() : port), args_(std::move(args)) {
        char tmpl[] = "/tmp/pm-nats-XXXXXX";
        if (port_ == 0 || mkdtemp(tmpl) == nullptr) return;
        dir_ = tmpl;
        if (!config.empty()) std::ofstream(dir_ + "/server.conf") << config;
        has_config_ = !config.empty();
        Start();
    }
    ~NatsServer() {
        Stop();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // Starts the server and waits (at most 5 s) until it takes connections.
    void Start() {
        pid_ = fork();
        if (pid_ != 0) {
            for (int k = 0; k < 100 && !Listening(); ++k)
                usleep(50000);
            return;
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL); // the server ends with the test, even a crashed one
        const std::string p = std::to_string(port_), log = dir_ + "/server.log";
        if (freopen(log.c_str(), "a", stderr) == nullptr) _exit(126);
        std::vector<std::string> argv = {"nats-server", "-a", "127.0.0.1", "-p", p};
        if (has_config_) argv.insert(argv.end(), {"-c", dir_ + "/server.conf"});
        argv.insert(argv.end(), args_.begin(), args_.end());
        if (std::find(args_.begin(), args_.end(), "-js") != args_.end())
            argv.insert(argv.end(), {"-sd", dir_ + "/js"});
        std::vector<char*> c;
        for (std::string& a : argv)
            c.push_back(a.data());
        c.push_back(nullptr);
        execvp("nats-server", c.data());
        _exit(127);
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    [[nodiscard]] bool Started() const { return pid_ > 0; }
    [[nodiscard]] int Port() const { return port_; }
    [[nodiscard]] std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    [[nodiscard]] const std::string& Dir() const { return dir_; }

    [[nodiscard]] bool Listening() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        return ok;
    }

    static int FreePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(fd);
        return port;
    }

private:
    int port_;
    std::vector<std::string> args_;
    std::string dir_;
    bool has_config_ = false;
    pid_t pid_ = -1;
};

} // namespace pm::test
