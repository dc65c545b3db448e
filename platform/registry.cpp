// The choice of registry backend, the same on every platform.
#include "platform/registry.h"

namespace platform {
namespace {

Registry* g_current = nullptr;

}  // namespace

Registry* CurrentRegistry() { return g_current != nullptr ? g_current : DefaultRegistry(); }

Registry* SetRegistry(Registry* registry) {
  Registry* old = CurrentRegistry();
  g_current = registry;
  return old;
}

}  // namespace platform
