// The volume's images at byte level. Private to the volume code (and the
// tests that build damaged cards byte by byte): the card operations reach the
// volume through fs.h alone, and the front ends through the card operations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs.h"

// ---- the volume as a whole ----------------------------------------------

// True when the BootSector in `sector` describes tables that fit on the card.
bool GeometryFits(const std::uint8_t* bootSector);
void InitVolumeTables();

// ---- checked access to the images --------------------------------------

bool ValidCluster(std::uint32_t cluster);
std::uint16_t TableEntry(std::uint32_t cluster);
void SetTableEntry(std::uint32_t cluster, std::uint16_t value);
// The DirEntry at directory sector `sector`, byte `offset` (a multiple of 32);
// nullptr when it lies outside the directory image.
std::uint8_t* DirEntryAt(std::uint32_t sector, std::uint32_t offset);
std::uint16_t EntryNameSlot(const std::uint8_t* entry);
std::uint16_t EntryFirstCluster(const std::uint8_t* entry);
std::uint32_t EntrySize(const std::uint8_t* entry);
// Sets the name mark, the FileId and the voice flag of the entry at `at` to
// 0 and nothing else: its chain and its name slot stay as they are.
void ClearDirEntry(DirEntryPos at);
void StoreFileName(const std::string& name, std::uint16_t slot);
// Empties the slot at byte offset `slot` (its length 0); nothing when it is
// no slot's offset.
void FreeNameSlot(std::uint16_t slot);
// The name stored in the slot at byte offset `slot`: false when the slot lies
// outside the NameTable or its length is 0 or longer than a slot holds.
bool SlotName(std::uint16_t slot, std::string* name);
std::uint16_t SlotLength(std::uint16_t slot);
// True for the byte offset of a slot: a multiple of 64 inside the NameTable.
bool ValidSlot(std::uint32_t slot);
// The clusters that the entries in use reach, each chain followed as far as
// its file's size accounts for (indexed by cluster number).
std::vector<bool> ClustersOfEntries();
// Frees at most `count` clusters of the chain starting at `first` in the
// table image; stops at the end mark, a free entry, a cluster outside the
// table, a loop, or a cluster marked in `keep` (another file's).
void FreeClusterChain(std::uint16_t first, std::uint32_t count, const std::vector<bool>& keep);
