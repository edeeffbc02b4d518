// The console's exec and encrypt-password: the request's parameters byte for byte, the words
// and exit codes of the replies.
#include <gtest/gtest.h>

#include "outside/pmconsole/exec_command.h"
#include "shared/base/endian.h"
#include "shared/crypto/password_cipher.h"
#include "tests/node/fake_console_io.h"

namespace pm::console::test {
namespace {

Reply Ran(uint32_t status, uint32_t exit_code, const std::string& output, uint32_t encoding) {
    Reply r;
    r.outcome = Reply::Outcome::kReply;
    r.status = status;
    r.items = {le::Bytes32(exit_code), output, le::Bytes32(encoding)};
    return r;
}

TEST(ConsoleExec, RequestParameters) {
    FakeIo io;
    io.answer = Ran(0, 0, "", 1);
    EXPECT_EQ(RunConsole({"exec", "--wait", "--capture", "--no-window", "--timeout", "5", "--cwd",
                          "c:\\t", "--env", "A=1", "--env", "B=2", "--", "cmd", "/c", "echo", "x"},
                         io),
              0);
    ASSERT_EQ(io.sent.size(), 1u);
    const Request& r = io.sent[0];
    EXPECT_EQ(r.code, 0x73124535u);
    EXPECT_EQ(r.timeout_ms, 35000u);
    ASSERT_EQ(r.params.size(), 7u);
    EXPECT_EQ(r.params[0], std::string("CMD /C ECHO X\0", 14));
    EXPECT_EQ(r.params[1], le::Bytes32(0x01 | 0x04 | 0x40 | 0x80));
    EXPECT_EQ(r.params[2], std::string("\0", 1)); // no user
    EXPECT_EQ(r.params[3], std::string("\0", 1)); // no password
    EXPECT_EQ(r.params[4], le::Bytes32(5));
    EXPECT_EQ(r.params[5], std::string("C:\\T\0", 5));
    EXPECT_EQ(r.params[6], std::string("\0\0\0\0A=1\0B=2\0\0", 13));
}

// The password by each way of giving it: encrypted in its compressed form unless plain; from
// standard input only its line is read.
TEST(ConsoleExec, PasswordsEncryptedByDefault) {
    std::vector<uint8_t> encrypted;
    ASSERT_TRUE(exec::EncryptPassword("S3CRET", &encrypted));
    const struct {
        std::vector<std::string> how;
        uint32_t flags;
        std::string password;
        size_t taken;
    } rows[] = {
        {{"--password-stdin"}, 0x12, std::string(encrypted.begin(), encrypted.end()), 8},
        {{"--password", "pw", "--plain-password"}, 0x02, std::string("PW\0", 3), 0},
        {{"--password-hex", "0011223344556677"},
         0x12,
         std::string("\0\x11\x22\x33\x44\x55\x66\x77", 8),
         0},
    };
    for (const auto& r : rows) {
        FakeIo io;
        io.answer = Ran(0, 0, "", 1);
        io.input = "s3cret\r\nthe next line";
        std::vector<std::string> args = {"exec", "--user", "bob"};
        args.insert(args.end(), r.how.begin(), r.how.end());
        args.insert(args.end(), {"--", "x"});
        ASSERT_EQ(RunConsole(args, io), 0) << r.how[0];
        EXPECT_EQ(io.taken, r.taken) << r.how[0]; // that line and nothing after it
        const Request& q = io.sent.at(0);
        EXPECT_EQ(q.params[1], le::Bytes32(r.flags)) << r.how[0];
        EXPECT_EQ(q.params[2], std::string("BOB\0", 4));
        EXPECT_EQ(q.params[3], r.password) << r.how[0];
        EXPECT_EQ(io.out.find("s3cret"), std::string::npos);
    }
}

TEST(ConsoleExec, PasswordFileFirstLineOrAClearError) {
    const std::string dir = ::testing::TempDir();
    const std::string good = dir + "pmconsole_pw_good", empty = dir + "pmconsole_pw_empty";
    auto write = [](const std::string& path, const char* text) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    write(good, "pw\r\nsecond line\n");
    write(empty, "\nsecond line\n");
    FakeIo io;
    io.answer = Ran(0, 0, "", 1);
    ASSERT_EQ(RunConsole({"exec", "--user", "bob", "--password-file", good, "--", "x"}, io), 0);
    std::vector<uint8_t> expected;
    ASSERT_TRUE(exec::EncryptPassword("PW", &expected));
    EXPECT_EQ(io.sent.at(0).params[3], std::string(expected.begin(), expected.end()));
    struct Bad {
        std::string file;
        const char* says;
    } bad[] = {
        {dir + "pmconsole_pw_missing", "cannot open"},
        {empty, "empty first line"},
        {dir, ""}, // a directory: cannot be opened or read, depending on the system
    };
    for (const Bad& b : bad) {
        FakeIo e;
        EXPECT_EQ(RunConsole({"exec", "--user", "bob", "--password-file", b.file, "--", "x"}, e), 2)
            << b.file;
        EXPECT_TRUE(e.sent.empty());
        EXPECT_NE(e.err.find(b.says), std::string::npos) << e.err;
    }
    std::remove(good.c_str());
    std::remove(empty.c_str());
}

TEST(ConsoleExec, EncryptPasswordPrintsWhatExecSends) {
    FakeIo io;
    io.input = "s3cret\nmore";
    ASSERT_EQ(RunConsole({"encrypt-password"}, io), 0);
    std::vector<uint8_t> expected;
    ASSERT_TRUE(exec::EncryptPassword("S3CRET", &expected));
    std::string hex;
    for (uint8_t b : expected) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    EXPECT_EQ(io.out, hex + "\n");
    EXPECT_EQ(io.taken, 7u);
    FakeIo empty;
    EXPECT_EQ(RunConsole({"encrypt-password"}, empty), 2);
}

TEST(ConsoleExec, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"exec"},
        {"exec", "--wait"},
        {"exec", "--timeout", "x", "--", "a"},
        {"exec", "--env", "novalue", "--", "a"},
        {"exec", "--password", "p", "--", "a"}, // no user
        {"exec", "--user", "u", "--password", "p", "--password-stdin", "--", "a"},
        {"exec", "--user", "u", "--password-file", "f", "--password-stdin", "--", "a"},
        {"exec", "--user", "u", "--password-hex", "0011", "--", "a"}, // not whole blocks
        {"exec", "--bogus", "--", "a"},
    };
    for (const auto& args : bad) {
        FakeIo io;
        EXPECT_EQ(RunConsole(args, io), 2) << args.size();
        EXPECT_TRUE(io.sent.empty());
    }
}

TEST(ConsoleExec, RepliesInWordsAndExitCodes) {
    Reply cut = Ran(0, 0, "abc", 1);
    cut.items.push_back(le::Bytes32(8192)); // the agent kept 8192 bytes
    Reply odd = cut;
    odd.items[3] = "\x01\x02";
    struct Case {
        Reply reply;
        const char* option; // --json, --raw or none
        int exit;
        const char* out;
        const char* err;
    } cases[] = {
        {Ran(0, 3, "hi\r\n", 1), "", 0, "hi\r\nexit code 3\n", ""},
        {Ran(0, 0, std::string("HI\0", 3), 2), "", 0, "decoded(HI)\nexit code 0\n", ""},
        {Ran(0xFFFF0002, 259, "", 1), "", 1,
         "status 0xFFFF0002: the process did not end in time; it keeps running (exit code "
         "259)\n",
         ""},
        {Ran(0, 3, "a\"b", 1), "--json", 0,
         "{\"status\": 0, \"exit_code\": 3, \"encoding\": 1, \"output\": \"a\\\"b\", \"meaning\": "
         "\"the process was started (and, if waited for, ended in time)\"}\n",
         ""},
        {Ran(0, 0, "\x1b[2Jx\r\n", 1), "", 0, "\\x1b[2Jx\r\nexit code 0\n", ""},
        {Ran(0, 0, "\x1b[2Jx\r\n", 1), "--raw", 0, "\x1b[2Jx\r\nexit code 0\n", ""},
        {cut, "", 0, "abc\nexit code 0\n", "output cut at 8192 bytes\n"},
        {cut, "--json", 0,
         "{\"status\": 0, \"exit_code\": 0, \"encoding\": 1, \"output\": \"abc\", \"meaning\": "
         "\"the process was started (and, if waited for, ended in time)\", \"cut_at\": 8192}\n",
         ""},
        {odd, "", 0, "abc\nexit code 0\n",
         "pmconsole exec: the reply's fourth item is not a 4-byte count (2 bytes); ignored\n"},
    };
    for (const auto& c : cases) {
        FakeIo io;
        io.decoder = [](const std::string& t) { return "decoded(" + t + ")"; };
        io.answer = c.reply;
        std::vector<std::string> args = {"exec", "--capture"};
        if (*c.option) args.push_back(c.option);
        args.insert(args.end(), {"--", "x"});
        EXPECT_EQ(RunConsole(args, io), c.exit);
        EXPECT_EQ(io.out, c.out);
        EXPECT_EQ(io.err, c.err);
    }
    FakeIo missing;
    missing.answer.outcome = Reply::Outcome::kReply;
    missing.answer.status = 0xDA000F01;
    missing.answer.items = {le::Bytes32(2), ""};
    EXPECT_EQ(RunConsole({"exec", "--", "nothere.exe"}, missing), 1);
    EXPECT_EQ(missing.out, "status 0xDA000F01: the executable file was not found (system error "
                           "2)\n");
    FakeIo silent;
    silent.answer.outcome = Reply::Outcome::kNoReply;
    EXPECT_EQ(RunConsole({"exec", "--", "x"}, silent), 3);
}

} // namespace
} // namespace pm::console::test
