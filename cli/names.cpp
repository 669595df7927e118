// Card names as a user types them: as `ls` shows them, as shell-style
// patterns, or by FileId for a file whose name cannot be typed.
#include <cctype>
#include <cstdio>
#include <set>

#include "cli.h"
#include "platform.h"
#include "text.h"

namespace {

// The record's Name without the NULs a slot may end with.
std::string StoredName(std::int32_t r) {
  std::string name = g_card.Record(r).Name;
  while (!name.empty() && name.back() == '\0') name.pop_back();
  return name;
}

std::string HexId(std::uint8_t id) {
  char text[8];
  std::snprintf(text, sizeof(text), "#%02X", id);
  return text;
}

// "#9A" or "<unnamed #9A>": the FileId it names.
bool FileIdOf(const std::string& typed, std::uint8_t* id) {
  std::string hex;
  if (typed.size() == 3 && typed[0] == '#') hex = typed.substr(1);
  else if (typed.size() == 13 && typed.compare(0, 10, "<unnamed #") == 0 && typed.back() == '>')
    hex = typed.substr(10, 2);
  if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
      !std::isxdigit(static_cast<unsigned char>(hex[1])))
    return false;
  *id = static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16));
  return true;
}

bool IsPattern(const std::string& typed) { return typed.find_first_of("*?[") != std::string::npos; }

std::string Folded(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Chooser {
 public:
  explicit Chooser(ChosenFiles* out) : out_(out) {}
  void Take(std::int32_t r) {
    if (!taken_.insert(r).second) return;
    out_->lines.push_back(CardFileRefOf(r));
    out_->shown.push_back(ShownCardName(r));
    out_->fileIds.push_back(g_card.Record(r).FileId);
  }

 private:
  ChosenFiles* out_;
  std::set<std::int32_t> taken_;
};

}  // namespace

std::string ShownCardName(std::int32_t r) {
  const std::string name = StoredName(r);
  if (name.empty() || name.find('\0') != std::string::npos)
    return "<unnamed " + HexId(g_card.Record(r).FileId) + ">";
  return Escaped(PcNameFromCard(name));
}

ChosenFiles ChooseCardFiles(const std::vector<std::string>& typed, bool voiceOnly) {
  ChosenFiles chosen;
  Chooser take(&chosen);
  for (const std::string& t : typed) {
    bool found = false;
    std::uint8_t id = 0;
    if (FileIdOf(t, &id)) {
      for (std::int32_t r = g_card.FileCount(); r >= 1 && !found; --r)
        if (g_card.Record(r).FileId == id) take.Take(r), found = true;
      if (!found) {
        Error(t + ": no file on the card has FileId " + HexId(id));
        ++chosen.missing;
      }
      continue;
    }
    // The name as shown, or as the card holds it: the first file of it.
    for (std::int32_t r = g_card.FileCount(); r >= 1 && !found; --r)
      if (ShownCardName(r) == t || PcNameFromCard(StoredName(r)) == t) take.Take(r), found = true;
    if (found) continue;
    if (IsPattern(t)) {
      for (std::int32_t r = g_card.FileCount(); r >= 1; --r) {
        if (voiceOnly && !IsVoiceFileId(g_card.Record(r).FileId)) continue;
        if (platform::MatchesPattern(t, ShownCardName(r))) take.Take(r), found = true;
      }
      if (!found) {
        Error(t + (voiceOnly ? ": no voice recording on the card matches" : ": no card file matches"));
        ++chosen.missing;
      }
      continue;
    }
    std::vector<std::string> alike;
    for (std::int32_t r = g_card.FileCount(); r >= 1; --r)
      if (Folded(ShownCardName(r)) == Folded(t)) alike.push_back(ShownCardName(r));
    Error(t + ": no such file on the card" + (alike.size() == 1 ? " (did you mean " + alike[0] + "?)" : ""));
    ++chosen.missing;
  }
  return chosen;
}

ChosenFiles AllCardFiles(bool voiceOnly) {
  ChosenFiles chosen;
  Chooser take(&chosen);
  for (std::int32_t r = g_card.FileCount(); r >= 1; --r)
    if (!voiceOnly || IsVoiceFileId(g_card.Record(r).FileId)) take.Take(r);
  return chosen;
}
