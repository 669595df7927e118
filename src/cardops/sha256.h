// SHA-256 of a file's bytes, as lowercase hex; empty when the file cannot
// be read. The system's cryptography computes it (platform.h).
#pragma once
#include <string>

#include "platform.h"

using platform::Sha256OfFile;
