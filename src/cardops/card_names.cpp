#include "card_names.h"

#include "cardops.h"
#include "fs.h"
#include "text.h"

std::string ListLine(const std::string& name) { return name.substr(0, name.find('\0')); }

bool SafePcName(const std::string& cardName, std::string* pcName) {
  const std::string name = ListLine(cardName);
  if (CardNameFault(name) != NameFault::kNone) return false;
  *pcName = PcNameFromCard(name);
  return true;
}

CardOpResult CardNameForNew(const std::string& pcName, std::string* cardName) {
  // A name that could not be fetched back (a path, a drive, a control
  // character, a hidden file) is as unstorable as one outside the code page.
  // A NUL too: the list ends a name at its first NUL, so "a\0.mp3" would be
  // listed and fetched as "a", its kind judged by a part the user never sees.
  if (pcName.find('\0') != std::string::npos || !CardNameFromPc(pcName, cardName)) return kOpNameNotStorable;
  const NameFault fault = CardNameFault(*cardName);
  if (fault == NameFault::kForeignKind) return kOpWrongKind;
  if (fault != NameFault::kNone) return kOpNameNotStorable;
  if (cardName->size() > kMaxCardNameBytes) return kOpNameTooLong;
  return kOpOk;
}
