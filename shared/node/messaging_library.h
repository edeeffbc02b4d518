// The binding by name to the messaging library KAVIPC32.DLL: bound once per process on first
// use, retried on the next use while it fails. Portable: loading goes through LibraryLoader.
#pragma once

#include <cstdint>
#include <memory>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/node/message_memory.h"
#include "shared/base/dynamic_library.h"

namespace pm {

// The entry points the node uses. The first eight are required; the last three may be null.
struct MessagingFunctions {
    KavInitApplicationFn InitApplication = nullptr;
    KavTermApplicationFn TermApplication = nullptr;
    KavAllocateMessageFn AllocateMessage = nullptr;
    KavFreeMessageFn FreeMessage = nullptr;
    KavEnqueueMessageFn EnqueueMessage = nullptr;
    KavSvcNodeExistsFn SvcNodeExists = nullptr;
    KavCreateSvcNodeFn CreateSvcNode = nullptr;
    KavDeleteSvcNodeFn DeleteSvcNode = nullptr;
    KavGetGlobalTimeoutFn GetGlobalTimeout = nullptr;
    KavEnqueueMessage2Fn EnqueueMessage2 = nullptr;
    KavNFUseInputDesktopFn NFUseInputDesktop = nullptr;
};

class MessagingLibrary final : public MessageMemory {
public:
    static constexpr const char* kFileName = "KAVIPC32.DLL";

    explicit MessagingLibrary(LibraryLoader& loader);
    ~MessagingLibrary() override;

    // Binds on the first call; once bound, answers true at once. When the library is missing or
    // a required name is not exported, releases the library and answers false.
    bool Bind();
    [[nodiscard]] bool IsBound() const { return bound_; }
    // Valid only while bound.
    [[nodiscard]] const MessagingFunctions& Functions() const { return fns_; }

    // MessageMemory through AllocateMessage and FreeMessage (null / nothing while unbound).
    void* Allocate(uint32_t size) override;
    void Free(void* message) override;

private:
    LibraryLoader& loader_;
    std::unique_ptr<DynamicLibrary> library_;
    MessagingFunctions fns_;
    bool bound_ = false;
};

// The process's binding, through the system loader.
MessagingLibrary& ProcessMessagingLibrary();

} // namespace pm
