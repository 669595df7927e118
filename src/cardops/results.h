// What an operation's result comes to, decided once for both front ends:
// done, stopped at the user's request, refused for what the file or the
// name is, or failed because the player or the card did.
#pragma once

#include "cardops.h"

enum class ResultKind { kDone, kStopped, kRefused, kDeviceFailed };

ResultKind ResultKindOf(CardOpResult result);
