// The card's volume checked for consistency, and mended.
//
// CheckVolume reads nothing and changes nothing: it examines the mounted
// VolumeImage, with allocation copy 2 as VolumeImage.onCard.table2 (call
// ReadTableCopy2 first). RepairVolume mends what CheckVolume finds, in the
// image, and writes it back in the safe order: one releasing flush (entries
// dropped or cut, clusters and name slots freed), then one adding flush
// (names given, FileIds renumbered, copy 2 rebuilt). It never touches a
// cluster of a file that CheckVolume found whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume_terms.h"  // CheckedFile, VolumeCheck

// `cardSectors`: the card's size in sectors as the identify command gives it
// (0 when unknown); clusters the boot sector places past it are not the card's
// and must be reserved, and a volume larger than it is reported. Needs a mounted image; reads nothing, writes nothing.
VolumeCheck CheckVolume(std::uint32_t cardSectors);

// Mends the image and writes it back. Returns one plain-English line per
// change made, file by file. The writes' outcome is in the DeviceState.
// A BootSector total that is 0 (mounted kSizedByCard) or larger than the
// card is written last; the image is then left unmounted, to be read again.
std::vector<std::string> RepairVolume(std::uint32_t cardSectors);

// The card's size in sectors from the identify command; 0 when it failed or
// the reply is not a card's.
std::uint32_t IdentifiedCardSectors();
