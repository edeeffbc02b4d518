// Which TextPlatform is in use. Portable: no OS code here.
#include "shared/text/text_platform.h"

#include <atomic>

namespace pm {
namespace {
std::atomic<TextPlatform*> g_platform{nullptr}; // null: the default
} // namespace

TextPlatform& CurrentTextPlatform() {
    TextPlatform* platform = g_platform.load(std::memory_order_acquire);
    return platform != nullptr ? *platform : DefaultTextPlatform();
}

TextPlatform* SetTextPlatform(TextPlatform* platform) {
    TextPlatform* previous = g_platform.exchange(platform, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &DefaultTextPlatform();
}

} // namespace pm
