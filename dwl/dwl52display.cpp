#include "dwl/dwl52display.h"

#include <cstdio>
#include <cstring>

#include "dwl/dwl10fla.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl_job.h"

namespace dwl {

namespace {

struct Entry {
  std::int32_t code;
  const char* text;
};

template <std::size_t N>
std::string lookup(const Entry (&table)[N], std::int32_t code, const char* fallback) {
  for (const Entry& e : table)
    if (e.code == code) return e.text;
  return fallback;
}

constexpr Entry kFlashFile[] = {
    {2, "FLASH DESCRIPTION : The file flash.txt not found"},
    {3, "FLASH DESCRIPTION : Problem with parameter NEW_FLASH in the file flash.txt"},
    {4, "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_NAME in the file flash.txt"},
    {5, "FLASH DESCRIPTION : Problem with parameter DEVICE_NAME in the file flash.txt"},
    {6, "FLASH DESCRIPTION : Problem with parameter PHILIPS_PRODUCT in the file flash.txt"},
    {7, "FLASH DESCRIPTION : Problem with parameter MANUFACTURER_ID in the file flash.txt"},
    {8, "FLASH DESCRIPTION : Problem with parameter DEVICE_ID in the file flash.txt"},
    {9, "FLASH DESCRIPTION : Problem with parameter NB_BANKS in the file flash.txt"},
    {10, "FLASH DESCRIPTION : Problem with parameter NB_SECTORS in the file flash.txt"},
    {11,
     "FLASH DESCRIPTION : Problem with parameter START_SECTOR_DESCRITPION in the file flash.txt"},
    {12, "FLASH DESCRIPTION : Problem with parameter END_FLASH in the file flash.txt"},
    {13, "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_START in the file flash.txt"},
    {14, "FLASH DESCRIPTION : Problem with parameter BAD_SECTOR_END in the file flash.txt"},
    {15, "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)"},
    {16, "FLASH DESCRIPTION : There are too many flash description in the file flash.txt "},
    {17, "FLASH DESCRIPTION : A flash description has to many number of sector "},
    {18, "FLASH DESCRIPTION : Impossible to find the sector starting at this address"},
    {19, "FLASH DESCRIPTION : A sector number is not rigth "},
    {20, "FLASH DESCRIPTION : Not enough sector to download this software"},
};

constexpr Entry kConfigFile[] = {
    {2, "There is no configuration file "},
    {3, "Impossible to find the sofware file "},
    {5, "The com number in configuration file is not rigth "},
    {6, "Bad com description in configuration file "},
    {9, "The PMU state in configuration file is not rigth "},
    {10, "Bad PMU description in configuration file "},
    {11, "The product type state in configuration file is not rigth "},
    {12, "Bad product type description in configuration file "},
    {13, "The download type state in configuration file is not rigth "},
    {14, "Bad download type description in configuration file "},
};

constexpr Entry kLibPc[] = {
    {2, "LIB_PC : The calculation of the file size create an error"},
    {3, "LIB_PC : File not found"},
    {4, "LIB_PC : The size of the SPM is too long"},
    {5, "LIB_PC : Bad length when you want to convert Little - big indien"},
};

constexpr Entry kBoot[] = {
    {2, "BOOT : The bootstrap (SPM) is not present on the disk"},
    {3, "BOOT : The bootstrap (SPM) is too long"},
    {7, "BOOT : BOOT FROM A PCF5087. Please select a project specific to a PCF5087"},
    {8, "BOOT : The processor does not known, Acknowledge unknown"},
    {9, "BOOT : Chip select requested is impossible"},
    {10, "BOOT : Bad acknowledge receive from the mobile (Transmission problem)"},
    {11, "BOOT : Problem with program in external RAM : StackPointer not set"},
    {12, "BOOT : Bad acknowledgement during the identification of the flash"},
    {13, "BOOT : Timeout during the flash identification"},
    {14, "BOOT : The terminal GSM flash id is unknown"},
    {15, "BOOT : The manufacturer of terminal GSM flash is unknown"},
};

constexpr Entry kCommand[] = {
    {2, "COMMAND : Bad command acknowledge "},
    {7, "COMMAND : Bad change speed acknowledge "},
    {8, "COMMAND : Bad change speed checksum "},
    {9, "COMMAND : Speed control err "},
    {10, "COMMAND : bad set PMU acknowledge "},
    {11, "COMMAND : bad erase command acknowledge "},
    {12, "COMMAND : Erase processing aborted "},
    {13, "COMMAND : Erase processing failed "},
    {14, "COMMAND : Erase processing failed DQ6 "},
    {15, "COMMAND : Erase processing failed DQ6 bis"},
    {16, "COMMAND : Erase processing default aborted"},
    {17, "COMMAND : bad read command acknowledge "},
    {18, "COMMAND : bad read command parameter"},
    {19, "COMMAND : Checksum error during the read command "},
    {20, "COMMAND : Switch off error "},
};

}  // namespace

std::string flashFileMessage(std::int32_t code) {
  return lookup(kFlashFile, code, "FLASH DESCRIPTION : The file flash.txt problem");
}

std::string configFileMessage(std::int32_t code) {
  return lookup(kConfigFile, code, "There is a problem in configuration file ");
}

std::string libPcMessage(std::int32_t code) {
  for (const Entry& e : kLibPc)
    if (e.code == code) return e.text;
  // Built in a 100-character buffer, as the window always was; the text always fits.
  char buf[100];
  std::snprintf(buf, sizeof buf, "LIB_PC : Default error number _ 0x%8x",
                static_cast<unsigned>(code));
  return buf;
}

std::string bootMessage(std::int32_t code) {
  return lookup(kBoot, code, "BOOT : Problem during the boot sequence");
}

std::string commandMessage(std::int32_t code) {
  return lookup(kCommand, code, "COMMAND : Command error ");
}

bool resultWindow(std::int32_t family, std::int32_t code, Window* window) {
  Window w;
  switch (family) {
    case RESULT_SUCCESS:
      w = Window::Success;
      break;
    case RESULT_DOWNLOAD_ERROR:
    case RESULT_SECTOR_START_ACK:
    case RESULT_SECTOR_ERROR:
    case RESULT_SECTOR_ACK:
    case RESULT_SECTOR_CHECKSUM:
    case RESULT_DOWNLOAD_TIMEOUT:
      w = Window::GenericErr;
      break;
    case RESULT_FLASH_FILE:
      w = Window::FlashFileErr;
      break;
    case RESULT_CONFIG_FILE:
      w = Window::ConfFileErr;
      break;
    case RESULT_LIB_PC:
      w = Window::LibPcErr;
      break;
    case RESULT_BOOT:
      w = code == kNoHandsetResult.Code ? Window::Timeout : Window::BootErr;
      break;
    case RESULT_COMMAND:
      w = Window::CommandErr;
      break;
    default:
      return false;
  }
  if (window) *window = w;
  return true;
}

std::string resultMessage(std::int32_t family, std::int32_t code) {
  switch (family) {
    case RESULT_DOWNLOAD_ERROR:
      return "Error during the download";
    case RESULT_FLASH_FILE:
      return flashFileMessage(code);
    case RESULT_CONFIG_FILE:
      return configFileMessage(code);
    case RESULT_LIB_PC:
      return libPcMessage(code);
    case RESULT_BOOT:
      return code == kNoHandsetResult.Code ? std::string() : bootMessage(code);
    case RESULT_COMMAND:
      return commandMessage(code);
    case RESULT_SECTOR_START_ACK:
      return "Problem : Bad acknowledge when the sector download start";
    case RESULT_SECTOR_ERROR:
      return "Problem : Error during the sector donwload";
    case RESULT_SECTOR_ACK:
      return "Problem : Error acknowledge during the sector donwload";
    case RESULT_SECTOR_CHECKSUM:
      return "Problem : Bad checksum";
    case RESULT_DOWNLOAD_TIMEOUT:
      return "Timeout during the download";
    default:
      return {};
  }
}

std::string cpuTypeText(std::uint8_t cpuType) {
  return cpuType == 0xBE ? "BOOT FROM A PCF5087" : "Unknown boot";
}

std::string flashTypeText(std::uint8_t manufacturer, std::uint8_t device) {
  char maker[kNameSize + 1] = {};
  char name[kNameSize + 1] = {};
  char buf[100];
  if (dwl10_6GetManufacturerAndFlashName(manufacturer, device, maker, name) == kOk) {
    std::snprintf(buf, sizeof buf, " Flash %s", name);
  } else {
    // No description in flash.txt: say so, with the codes the handset gave.
    std::snprintf(buf, sizeof buf, " Flash unknown (manufacturer 0x%02X, device 0x%02X)",
                  manufacturer, device);
  }
  return buf;
}

void logComment(const std::string& text) {
  JobState* job = currentJob();
  if (!job) return;
  std::snprintf(job->ma_Comment, sizeof job->ma_Comment, " %s ", text.c_str());
  ++job->mv_NbCommentLine;
  // The list shows the whole line even when it is longer than the old 100-character buffer.
  reportLogLine(" " + text + " ");
}

}  // namespace dwl
