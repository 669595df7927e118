#include "descriptors.h"

#include "platform.h"

bool OpenStandardDescriptors() { return platform::OpenStandardDescriptors(); }
