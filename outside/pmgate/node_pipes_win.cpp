// The local nodes through the messaging library.
#include "outside/pmgate/node_pipes_win.h"

#include "outside/pmgate/file_version_win.h"
#include "shared/remote/operations.h"

namespace pm::gate {

NodePipes::NodePipes(ServiceNode& node, MessagingLibrary& library, std::string program_dir)
    : node_(node), library_(library), program_dir_(std::move(program_dir)),
      forwarder_(std::make_unique<Forwarder>()) {}

bool NodePipes::Running(const std::string& node) const {
    return library_.Functions().SvcNodeExists(node.c_str()) != 0;
}

std::string NodePipes::Version(const std::string& node) const {
    // The programs beside the gate (one installation directory), read while they run.
    if (node == remote::kAgentNode) return FileVersion(program_dir_ + "quorlent.exe");
    if (node == remote::kHostNode) return FileVersion(program_dir_ + "pmhost.exe");
    return std::string();
}

void NodePipes::Send(std::unique_ptr<NodeRequest> request) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (forwarder_) {
            // A node that is not running fails the send: its completion says so at once.
            NodeRequest* r = request.release();
            forwarder_->Post(
                [this, r] { node_.SendCommand(r, pm::Send::kNoWait | pm::Send::kDeleteWhenDone); });
            return;
        }
    }
    request->status = kStatusNotSent; // stopped
    request->OnComplete();
}

void NodePipes::Stop() {
    std::unique_ptr<Forwarder> last;
    {
        std::lock_guard<std::mutex> hold(lock_);
        last = std::move(forwarder_);
    }
    last.reset(); // runs what is queued, then joins
}

} // namespace pm::gate
