// The three standard descriptors, kept taken.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the next file the program opens cannot take one of them (a card image that
// became descriptor 2 would receive every error message). To be called first
// in main, before anything is opened. False when /dev/null cannot be opened;
// the descriptors that could not be filled are then still closed.
bool OpenStandardDescriptors();
