// Allowed origins and the Bridge's thin wrappers around certificate trust.
#include "bridge/origins.h"

#include <cstdlib>

#include "bridge/bridge.h"
#include "server/trust.h"

namespace bridge {

bool originIn(const std::string& origin, const std::vector<std::string>& extra) {
  // The server never asks about an empty Origin; refusing it here as well keeps
  // an empty QUILLET_ORIGINS from admitting anything.
  if (origin.empty()) return false;
  for (std::string_view allowed : builtInOrigins)
    if (origin == allowed) return true;
  for (const std::string& allowed : extra)
    if (origin == allowed) return true;
  return false;
}

std::vector<std::string> originsFromEnvironment() {
  const char* value = std::getenv("QUILLET_ORIGINS");
  if (!value) return {};
  return {value};
}

bool Bridge::originAllowed(const std::string& origin) const { return originIn(origin, options.origins); }

bool Bridge::trustForSafari(std::string& errorText) {
  bool trusted = trustAuthority(options.dataDir, errorText);
  // May run on any thread; the shell's callback belongs to the main thread.
  post([this] { notifyChanged(); });
  return trusted;
}

bool Bridge::safariTrusted() const { return identityTrusted(options.dataDir); }

}  // namespace bridge
