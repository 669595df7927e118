// Names between the card and the PC: the list line a card name shows as, the
// PC name it is fetched under, and the card name a new PC name becomes. They
// read names only, never the card: the card list and the transfers both call
// them, and they call neither.
#pragma once

#include <string>

enum CardOpResult : int;  // cardops.h

// The list line of a Name: a line ends at the Name's first NUL.
std::string ListLine(const std::string& name);

// The PC name (UTF-8) a card file is fetched under: its Name up to the first
// NUL. False when that name is damaged (CardNameFault, fs.h): it could leave
// the folder, would name a hidden file, or is no music or voice file's.
bool SafePcName(const std::string& cardName, std::string* pcName);

// The card name (8-bit text) for the new name `pcName` (UTF-8, no folder):
// kOpOk, or why the card cannot hold it: kOpNameNotStorable for a character
// outside the card's code page, a control character or NUL, \ or :, or a
// name that could not be fetched back (CardNameFault, fs.h); kOpWrongKind
// for a kind neither music nor voice; kOpNameTooLong past 62 bytes.
CardOpResult CardNameForNew(const std::string& pcName, std::string* cardName);
