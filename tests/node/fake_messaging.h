// A messaging library that lives in the test: the loader answers its entry points by name,
// allocations are counted, enqueued messages are recorded (and freed when taken over).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/node/message_layout.h"
#include "shared/base/dynamic_library.h"

namespace pm::test {

class FakeMessaging;
inline FakeMessaging*& CurrentFake() {
    static FakeMessaging* fake = nullptr;
    return fake;
}

class FakeMessaging final : public LibraryLoader {
public:
    FakeMessaging() { CurrentFake() = this; }
    ~FakeMessaging() override {
        for (void* p : live)
            std::free(p);
        CurrentFake() = nullptr;
    }

    // LibraryLoader
    void* Load(const char* path) override {
        loads.push_back(path ? path : "");
        if (!present) return nullptr;
        ++module_refs;
        return this;
    }
    void* Lookup(void*, const char* name) override {
        if (missing.count(name)) return nullptr;
        auto it = Table().find(name);
        return it == Table().end() ? nullptr : it->second;
    }
    void Free(void*) override { --module_refs; }
    unsigned SetErrorMode(unsigned mode) override {
        error_modes.push_back(mode);
        return 0;
    }

    // What the node sees.
    bool present = true;
    std::set<std::string> missing;
    int enqueue_answer = 1;
    bool allocation_fails = false;
    uintptr_t create_answer = 0x1234;
    int global_timeout = -1; // -1: hand back the given time-out
    // Runs inside CreateSvcNode once the callback is known: a message that arrives at once.
    std::function<void()> on_create;
    // Runs inside EnqueueMessage before it answers: what happens meanwhile on another thread.
    std::function<void()> on_enqueue;

    // What the node did.
    std::vector<std::string> loads;
    std::vector<unsigned> error_modes;
    int module_refs = 0;
    int inits = 0;                              // InitApplication calls
    std::vector<std::vector<uint8_t>> enqueued; // accepted or refused, in order
    std::vector<int> enqueue2_flags;
    std::set<void*> live; // allocated, not freed nor taken over
    int frees = 0;
    void* node = nullptr;
    KavMessageCallback callback = nullptr;
    std::string created_name;
    std::vector<std::string> deleted_names;

    // A copy of a message as a buffer from this library, as a delivery would hand it over.
    void* Deliver(const std::vector<uint8_t>& bytes) {
        void* p = std::malloc(bytes.size() ? bytes.size() : 1);
        std::memcpy(p, bytes.data(), bytes.size());
        live.insert(p);
        return p;
    }

    static std::map<std::string, void*>& Table() {
        static std::map<std::string, void*> t = {
            {"InitApplication", reinterpret_cast<void*>(&InitApplication)},
            {"TermApplication", reinterpret_cast<void*>(&TermApplication)},
            {"AllocateMessage", reinterpret_cast<void*>(&AllocateMessage)},
            {"FreeMessage", reinterpret_cast<void*>(&FreeMessage)},
            {"EnqueueMessage", reinterpret_cast<void*>(&EnqueueMessage)},
            {"EnqueueMessage2", reinterpret_cast<void*>(&EnqueueMessage2)},
            {"SvcNodeExists", reinterpret_cast<void*>(&SvcNodeExists)},
            {"CreateSvcNode", reinterpret_cast<void*>(&CreateSvcNode)},
            {"DeleteSvcNode", reinterpret_cast<void*>(&DeleteSvcNode)},
            {"GetGlobalTimeout", reinterpret_cast<void*>(&GetGlobalTimeout)},
            {"NFUseInputDesktop", reinterpret_cast<void*>(&NFUseInputDesktop)},
        };
        return t;
    }

private:
    static FakeMessaging& F() { return *CurrentFake(); }

    static int KAVIPC_API InitApplication() {
        ++F().inits;
        return 1;
    }
    static int KAVIPC_API TermApplication() { return 1; }
    static void* KAVIPC_API AllocateMessage(uint32_t size) {
        if (F().allocation_fails) return nullptr;
        void* p = std::malloc(size ? size : 1);
        std::memset(p, 0xCD, size); // the node must fill every byte it sends
        F().live.insert(p);
        return p;
    }
    static void KAVIPC_API FreeMessage(void* m) {
        ++F().frees;
        F().live.erase(m);
        std::free(m);
    }
    static int Take(void* m) {
        auto* p = static_cast<uint8_t*>(m);
        uint32_t len = le::Load32(p);
        F().enqueued.emplace_back(p, p + len);
        if (F().on_enqueue) F().on_enqueue();
        if (!F().enqueue_answer) return 0;
        F().live.erase(m);
        std::free(m);
        return 1;
    }
    static int KAVIPC_API EnqueueMessage(void* m) { return Take(m); }
    static int KAVIPC_API EnqueueMessage2(void* m, int flag) {
        F().enqueue2_flags.push_back(flag);
        return Take(m);
    }
    static int KAVIPC_API SvcNodeExists(const char*) { return 1; }
    static uintptr_t KAVIPC_API CreateSvcNode(const char* name, void* node, KavMessageCallback cb) {
        F().created_name = name;
        F().node = node;
        F().callback = cb;
        if (F().on_create) F().on_create();
        return F().create_answer;
    }
    static int KAVIPC_API DeleteSvcNode(const char* name) {
        F().deleted_names.push_back(name);
        return 1;
    }
    static uint32_t KAVIPC_API GetGlobalTimeout(const char*, uint32_t t) {
        return F().global_timeout < 0 ? t : static_cast<uint32_t>(F().global_timeout);
    }
    static int KAVIPC_API NFUseInputDesktop(int) { return 1; }
};

} // namespace pm::test
