// Portable: the name binding. No OS code here; the loader seam does the loading.
#include "shared/node/messaging_library.h"

namespace pm {

MessagingLibrary::MessagingLibrary(LibraryLoader& loader) : loader_(loader) {}

MessagingLibrary::~MessagingLibrary() = default;

bool MessagingLibrary::Bind() {
    if (bound_) return true;
    if (!library_)
        library_ = std::make_unique<DynamicLibrary>(kFileName, loader_);
    else
        library_->Load();
    if (!library_->IsLoaded()) return false;

    const DynamicLibrary& lib = *library_;
    MessagingFunctions f;
    f.InitApplication = lib.GetProcAs<KavInitApplicationFn>("InitApplication");
    f.TermApplication = lib.GetProcAs<KavTermApplicationFn>("TermApplication");
    f.AllocateMessage = lib.GetProcAs<KavAllocateMessageFn>("AllocateMessage");
    f.FreeMessage = lib.GetProcAs<KavFreeMessageFn>("FreeMessage");
    f.EnqueueMessage = lib.GetProcAs<KavEnqueueMessageFn>("EnqueueMessage");
    f.SvcNodeExists = lib.GetProcAs<KavSvcNodeExistsFn>("SvcNodeExists");
    f.CreateSvcNode = lib.GetProcAs<KavCreateSvcNodeFn>("CreateSvcNode");
    f.DeleteSvcNode = lib.GetProcAs<KavDeleteSvcNodeFn>("DeleteSvcNode");
    if (!f.InitApplication || !f.TermApplication || !f.AllocateMessage || !f.FreeMessage ||
        !f.EnqueueMessage || !f.SvcNodeExists || !f.CreateSvcNode || !f.DeleteSvcNode) {
        library_->Release();
        return false;
    }
    f.GetGlobalTimeout = lib.GetProcAs<KavGetGlobalTimeoutFn>("GetGlobalTimeout");
    f.EnqueueMessage2 = lib.GetProcAs<KavEnqueueMessage2Fn>("EnqueueMessage2");
    f.NFUseInputDesktop = lib.GetProcAs<KavNFUseInputDesktopFn>("NFUseInputDesktop");
    fns_ = f;
    bound_ = true;

    if (fns_.NFUseInputDesktop) fns_.NFUseInputDesktop(0);
    fns_.InitApplication(); // its answer changes nothing here
    return true;
}

void* MessagingLibrary::Allocate(uint32_t size) {
    return bound_ ? fns_.AllocateMessage(size) : nullptr;
}

void MessagingLibrary::Free(void* message) {
    if (bound_ && message) fns_.FreeMessage(message);
}

// Never destroyed: the library stays loaded until the process ends.
MessagingLibrary& ProcessMessagingLibrary() {
    static MessagingLibrary* library = new MessagingLibrary(SystemLibraryLoader());
    return *library;
}

} // namespace pm
