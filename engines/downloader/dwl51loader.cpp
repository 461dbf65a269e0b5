#include "engines/downloader/dwl51loader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dwl/dwl10fla.h"
#include "engines/downloader/dwl3spm87.h"
#include "platform/input_file.h"

namespace downloader {

namespace {

// PC library codes of the loader.
constexpr dwl::ResultCode kLibPcSize = 2;
constexpr dwl::ResultCode kLibPcNotFound = 3;

struct SlotFields {
  char* path;
  std::int32_t* handle;
  std::uint8_t** data;
  std::uint32_t* length;
  std::uint8_t* loaded;
};

SlotFields fieldsOf(DownloadContext& c, dwl::Slot slot) {
  switch (slot) {
    case dwl::Slot::Bin1:
      return {c.Bin1Path, &c.Bin1Handle, &c.Bin1Data, &c.Bin1Length, &c.Bin1Loaded};
    case dwl::Slot::Bin2:
      return {c.Bin2Path, &c.Bin2Handle, &c.Bin2Data, &c.Bin2Length, &c.Bin2Loaded};
    case dwl::Slot::Ogm1:
      return {c.Ogm1Path, &c.Ogm1Handle, &c.Ogm1Data, &c.Ogm1Length, &c.Ogm1Loaded};
    case dwl::Slot::Ogm2:
    default:
      return {c.Ogm2Path, &c.Ogm2Handle, &c.Ogm2Data, &c.Ogm2Length, &c.Ogm2Loaded};
  }
}

const dwl::FlashDescriptionTable& describedFlash(const DownloadContext& c) {
  static const dwl::FlashDescriptionTable kNone;
  return c.State.flash ? *c.State.flash : kNone;
}

// Reads the whole file into a new buffer of length + 1 bytes; 1 or a PC library code.
dwl::ResultCode readImage(DownloadContext& c, const std::string& path, std::uint32_t* length,
                          std::uint8_t** out) {
  std::string& failure = c.State.imageFileFailure;
  if (path.empty()) {
    failure = "no image file named (the path is empty)";
    return kLibPcNotFound;
  }
  platform::InputFile file;
  switch (file.open(path, largestImage(describedFlash(c)), &failure)) {
    case platform::InputStatus::Ok:
      break;
    case platform::InputStatus::CannotOpen:
      return kLibPcNotFound;
    case platform::InputStatus::TooLarge:
      failure = imageTooLargeText(path, file.size(), describedFlash(c));
      return kLibPcSize;
    default:  // not a file, or its size unreadable
      return kLibPcSize;
  }
  // The stored length of an odd ogm image is one more, which must still fit its type.
  if (file.size() >= 0xFFFFFFFFu) return kLibPcSize;
  *length = static_cast<std::uint32_t>(file.size());
  const std::size_t size = std::size_t{*length} + 1;
  std::uint8_t* buffer =
      static_cast<std::uint8_t*>(c.State.allocate ? c.State.allocate(size) : std::malloc(size));
  if (!buffer) return kLibPcNoMemory;
  if (file.readAll(buffer, &failure) != platform::InputStatus::Ok) {
    std::free(buffer);
    return kLibPcSize;
  }
  // The spare byte is erased flash, should it ever be sent.
  buffer[*length] = 0xFF;
  *out = buffer;
  return dwl::kOk;
}

}  // namespace

std::uint32_t imageByteSum(const std::uint8_t* data, std::uint32_t length) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

std::uint64_t largestImage(const dwl::FlashDescriptionTable& table) {
  std::uint64_t largest = 0;
  const int n = table.NbFlash < dwl::kMaxFlash ? table.NbFlash : dwl::kMaxFlash;
  for (int i = 0; i < n; ++i) largest = std::max<std::uint64_t>(largest, table.Flash[i].FlashSize);
  return largest ? largest : kMaxImageSize;
}

std::string imageTooLargeText(const std::string& path, std::uint64_t size,
                              const dwl::FlashDescriptionTable& table) {
  const dwl::FlashDescription* largest = nullptr;
  const int n = table.NbFlash < dwl::kMaxFlash ? table.NbFlash : dwl::kMaxFlash;
  for (int i = 0; i < n; ++i)
    if (!largest || table.Flash[i].FlashSize > largest->FlashSize) largest = &table.Flash[i];
  std::string text = path + ": " + std::to_string(size) + " bytes, larger than ";
  if (!largest || largest->FlashSize == 0)
    return text + "any image (" + std::to_string(kMaxImageSize) + " bytes)";
  const std::string name =
      std::string(largest->ManufacturerName, strnlen(largest->ManufacturerName, dwl::kNameSize)) +
      " " + std::string(largest->DeviceName, strnlen(largest->DeviceName, dwl::kNameSize));
  return text + "the largest flash in flash.txt, " + name + " (" +
         std::to_string(largest->FlashSize) + " bytes)";
}

std::string loadingText(dwl::Slot slot) {
  const char* name = slot == dwl::Slot::Bin1   ? "Bin1"
                     : slot == dwl::Slot::Bin2 ? "Bin2"
                     : slot == dwl::Slot::Ogm1 ? "Ogm1"
                                               : "Ogm2";
  return std::string(name) + " file loading, please wait... ";
}

dwl::ResultCode setImagePath(DownloadContext& c, dwl::Slot slot, const std::string& path) {
  c.State.imageFileFailure.clear();
  // A path cut to fit the field could name another file.
  if (path.size() >= static_cast<std::size_t>(kPathSize) || path.find('\0') != std::string::npos) {
    c.State.imageFileFailure = "the image path is longer than " + std::to_string(kPathSize - 1) +
                               " characters or holds a NUL";
    return kLibPcNotFound;
  }
  std::snprintf(fieldsOf(c, slot).path, kPathSize, "%s", path.c_str());
  return dwl::kOk;
}

LoadOutcome loadSlot(DownloadContext& c, dwl::Slot slot) {
  const SlotFields f = fieldsOf(c, slot);
  std::string& held = c.State.heldPath[static_cast<int>(slot)];
  const std::string path(f.path, strnlen(f.path, kPathSize - 1));

  c.State.imageFileFailure.clear();
  std::uint32_t fileLength = 0;
  std::uint8_t* buffer = nullptr;
  const dwl::ResultCode rc = readImage(c, path, &fileLength, &buffer);
  if (rc != dwl::kOk) {
    std::snprintf(f.path, kPathSize, "%s", held.c_str());
    return {rc, {}, 0, 0};
  }

  std::free(*f.data);
  *f.data = buffer;
  *f.length = static_cast<std::uint32_t>(sentLength(slot, fileLength));
  *f.loaded = 1;
  held = path;
  return {dwl::kOk, path, fileLength, imageByteSum(*f.data, *f.length)};
}

LoadOutcome loadImageFile(DownloadContext& c, dwl::Slot slot, const std::string& path) {
  const dwl::ResultCode rc = setImagePath(c, slot, path);
  if (rc != dwl::kOk) return {rc, {}, 0, 0};
  return loadSlot(c, slot);
}

LoadOutcome dwl51_0InitLoadFile(DownloadContext& c) {
  return loadSlot(c, dwl::Slot::Bin1);
}
LoadOutcome dwl51_0InitLoadFile_2(DownloadContext& c) {
  return loadSlot(c, dwl::Slot::Bin2);
}
LoadOutcome dwl51_0InitLoadFile_ogm(DownloadContext& c) {
  return loadSlot(c, dwl::Slot::Ogm1);
}
LoadOutcome dwl51_0InitLoadFile_ogm_2(DownloadContext& c) {
  return loadSlot(c, dwl::Slot::Ogm2);
}

void resetImageSlots(DownloadContext& c) {
  releaseImages(c);
  for (dwl::Slot slot : {dwl::Slot::Bin1, dwl::Slot::Bin2, dwl::Slot::Ogm1, dwl::Slot::Ogm2}) {
    const SlotFields f = fieldsOf(c, slot);
    f.path[0] = '\0';
    *f.handle = 0;
    *f.loaded = 0;
    c.State.heldPath[static_cast<int>(slot)].clear();
  }
}

}  // namespace downloader
