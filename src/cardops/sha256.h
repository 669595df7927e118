// SHA-256 of a file's bytes, as lowercase hex; empty when the file cannot
// be read. One function, in its own file, so a build without libcrypto can
// put another behind it.
#pragma once
#include <string>

std::string Sha256OfFile(const std::string& path);
