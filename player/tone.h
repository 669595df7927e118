// A test recording for `zk27-player tone`: something to hand `ctl record`.
#pragma once

#include <string>

namespace player {

// Writes `seconds` of a tone rising from 300 Hz to 3 kHz, at half full
// scale, as an 8 kHz mono 16-bit WAV file at `path`. False, with the reason
// in `*problem`, when the file cannot be written.
bool WriteTone(const std::string& path, double seconds, std::string* problem);

}  // namespace player
