#pragma once
// Whether browsers trust our certificate, and making them trust our authority.
// Both go through the NSS shared database $HOME/.pki/nssdb, which Chromium-based
// browsers read, using the NSS command-line tools. Only their exit statuses count.
#include <filesystem>
#include <string>

namespace bridge {

// The NSS tools to run; tests point these at scripted fakes.
struct TrustTools {
  std::string certutil = "/usr/bin/certutil";
  std::string vfychain = "/usr/bin/vfychain";
};

// $HOME/.pki/nssdb (relative when HOME is unset).
std::filesystem::path trustDatabase();

// True when dir / "cert.pem" verifies for SSL server use against the database.
// Blocks up to 10 s; any thread, may run while the server serves.
bool identityTrusted(const std::filesystem::path& dir, const TrustTools& tools = {});

// Adds the authority (authorityFile(dir)) to the database as trusted to issue
// server certificates, creating the database when it is missing. False with
// `error` set on failure. Blocks up to 180 s in all; any thread.
bool trustAuthority(const std::filesystem::path& dir, std::string& error, const TrustTools& tools = {});

}  // namespace bridge
