// Subjects of the remote path: procmgr.<machine>.<node>.<code>[.<operation>], the code in 8
// lower-case hex digits. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::remote {

constexpr const char* kSubjectRoot = "procmgr";

// A machine name as it appears in subjects: 1..63 of [a-z0-9_-].
bool IsValidMachineName(const std::string& name);

// The machine name for a computer name: lower-cased; empty when the result is not a valid
// machine name (the gate then refuses to start and asks for `machine =`).
std::string MachineFromComputerName(const std::string& computer_name);

struct Subject {
    std::string machine;
    std::string node;
    uint32_t code = 0;
    std::string operation; // empty when the subject has four tokens
};

// "procmgr.web01.ProcMgr.73124536.list"; `operation` empty gives four tokens.
std::string RequestSubject(const std::string& machine, const std::string& node, uint32_t code,
                           const std::string& operation = std::string());

// The subject the gate subscribes to for one node: "procmgr.<machine>.<node>.>".
std::string NodeWildcard(const std::string& machine, const std::string& node);

// Reads a request subject: four or five tokens, the root, a valid machine name, a non-empty
// node, exactly 8 lower-case hex digits, a non-empty operation. False otherwise.
bool ParseSubject(const std::string& subject, Subject& out);

// The consoles' inboxes: "_INBOX.<user>" for a console logged in as <user> (the servers let each
// user hear only its own), characters other than [A-Za-z0-9_-] of the name as '_'; "_INBOX"
// without a user.
std::string InboxPrefix(const std::string& user);

// A fresh inbox under `prefix` (InboxPrefix): "<prefix>.<22 characters>" from the system's
// random source, so that a machine that saw one request's inbox cannot aim at another's.
std::string NewInbox(const std::string& prefix);

// True for a reply subject in the consoles' inbox space: "_INBOX." and at least one more token,
// no wildcard, no white space. The only subjects a gate answers to: a reply aimed anywhere else
// (the JetStream API, another machine, the gate's own answers) would act with the gate's rights.
bool IsConsoleInbox(const std::string& reply);

// The machine a gate's own subject names: "procmgr.<machine>.<kind>" gives <machine> when the
// last token is `kind` and the name is valid; empty otherwise. What a machine says of itself
// (presence, alerts) is believed for the machine its subject names only: the servers let each
// machine publish on its own subjects.
std::string MachineOfSubject(const std::string& subject, const char* kind);

} // namespace pm::remote
