// Every family and code to its window and exact text, and the comment lines.
#include "dwl/dwl52display.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/recording_display.h"

namespace {

class DisplayResult : public ::testing::Test {
 protected:
  void SetUp() override { guikit::setDisplay(&rec); }
  void TearDown() override { guikit::setDisplay(nullptr); }
  testsupport::RecordingDisplay rec;
};

struct Case {
  std::int32_t family, code;
  dwl::Window window;
  const char* message;
};

const Case kCases[] = {
    {0, 0, dwl::Window::Success, ""},
    {0, 77, dwl::Window::Success, ""},
    {1, 0, dwl::Window::GenericErr, "Error during the download"},
    {2, 2, dwl::Window::FlashFileErr, "FLASH DESCRIPTION : The file flash.txt not found"},
    {2, 11, dwl::Window::FlashFileErr,
     "FLASH DESCRIPTION : Problem with parameter START_SECTOR_DESCRITPION in the file flash.txt"},
    {2, 16, dwl::Window::FlashFileErr,
     "FLASH DESCRIPTION : There are too many flash description in the file flash.txt "},
    {2, 17, dwl::Window::FlashFileErr,
     "FLASH DESCRIPTION : A flash description has to many number of sector "},
    {2, 19, dwl::Window::FlashFileErr, "FLASH DESCRIPTION : A sector number is not rigth "},
    {2, 20, dwl::Window::FlashFileErr,
     "FLASH DESCRIPTION : Not enough sector to download this software"},
    {2, 1, dwl::Window::FlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
    {2, 21, dwl::Window::FlashFileErr, "FLASH DESCRIPTION : The file flash.txt problem"},
    {3, 2, dwl::Window::ConfFileErr, "There is no configuration file "},
    {3, 3, dwl::Window::ConfFileErr, "Impossible to find the sofware file "},
    {3, 4, dwl::Window::ConfFileErr, "There is a problem in configuration file "},
    {3, 7, dwl::Window::ConfFileErr, "There is a problem in configuration file "},
    {3, 14, dwl::Window::ConfFileErr, "Bad download type description in configuration file "},
    {5, 2, dwl::Window::LibPcErr, "LIB_PC : The calculation of the file size create an error"},
    {5, 3, dwl::Window::LibPcErr, "LIB_PC : File not found"},
    {5, 4, dwl::Window::LibPcErr, "LIB_PC : The size of the SPM is too long"},
    {5, 5, dwl::Window::LibPcErr,
     "LIB_PC : Bad length when you want to convert Little - big indien"},
    {5, 0, dwl::Window::LibPcErr, "LIB_PC : Default error number _ 0x       0"},
    {5, static_cast<std::int32_t>(0xFFFFFFFEu), dwl::Window::LibPcErr,
     "LIB_PC : Default error number _ 0xfffffffe"},
    {5, static_cast<std::int32_t>(0x80000006u), dwl::Window::LibPcErr,
     "LIB_PC : Default error number _ 0x80000006"},
    {5, 0x1a, dwl::Window::LibPcErr, "LIB_PC : Default error number _ 0x      1a"},
    {6, 4, dwl::Window::Timeout, ""},
    {6, 0x000A039D, dwl::Window::BootErr, "BOOT : Problem during the boot sequence"},
    {6, 7, dwl::Window::BootErr,
     "BOOT : BOOT FROM A PCF5087. Please select a project specific to a PCF5087"},
    {6, 11, dwl::Window::BootErr,
     "BOOT : Problem with program in external RAM : StackPointer not set"},
    {6, 15, dwl::Window::BootErr, "BOOT : The manufacturer of terminal GSM flash is unknown"},
    {8, 2, dwl::Window::CommandErr, "COMMAND : Bad command acknowledge "},
    {8, 15, dwl::Window::CommandErr, "COMMAND : Erase processing failed DQ6 bis"},
    {8, 19, dwl::Window::CommandErr, "COMMAND : Checksum error during the read command "},
    {8, 20, dwl::Window::CommandErr, "COMMAND : Switch off error "},
    {8, 21, dwl::Window::CommandErr, "COMMAND : Command error "},
    {9, 0, dwl::Window::GenericErr, "Problem : Bad acknowledge when the sector download start"},
    {10, 3, dwl::Window::GenericErr, "Problem : Error during the sector donwload"},
    {11, 0x41, dwl::Window::GenericErr, "Problem : Error acknowledge during the sector donwload"},
    {12, 0xCC, dwl::Window::GenericErr, "Problem : Bad checksum"},
    {13, 0, dwl::Window::GenericErr, "Timeout during the download"},
};

TEST_F(DisplayResult, EachFamilyAndCodeOpensItsWindowWithItsText) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "family " << c.family << " code " << c.code);
    dwl::Window window{};
    ASSERT_TRUE(dwl::resultWindow(c.family, c.code, &window));
    EXPECT_EQ(window, c.window);
    EXPECT_EQ(dwl::resultMessage(c.family, c.code), c.message);
    // The front ends open that window with that text.
    rec.windows.clear();
    guikit::dwl52_10DisplayResult(c.family, c.code);
    ASSERT_EQ(rec.windows.size(), 1u);
    EXPECT_EQ(rec.windows[0].window, c.window);
    EXPECT_EQ(rec.windows[0].message, c.message);
  }
}

TEST_F(DisplayResult, ValuesThatAreNotFamiliesOpenNothing) {
  for (std::int32_t family : {4, 7, -1, 14, 100}) {
    guikit::dwl52_10DisplayResult(family, 2);
    EXPECT_FALSE(dwl::resultWindow(family, 2, nullptr)) << family;
    EXPECT_EQ(dwl::resultMessage(family, 2), "") << family;
  }
  EXPECT_TRUE(rec.windows.empty());
}

TEST_F(DisplayResult, DirectFlashAndConfigWindows) {
  guikit::dwl52_11DisplayFlashFileErr(15);
  guikit::dwl52_12DisplayConfigFileErr(5);
  ASSERT_EQ(rec.windows.size(), 2u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::FlashFileErr);
  EXPECT_EQ(rec.windows[0].message,
            "FLASH DESCRIPTION : The flash id is not known (Not description in the file "
            "flash.txt)");
  EXPECT_EQ(rec.windows[1].window, dwl::Window::ConfFileErr);
  EXPECT_EQ(rec.windows[1].message, "The com number in configuration file is not rigth ");
}

TEST_F(DisplayResult, CommentLinesCarryABlankOnEachSide) {
  const int before = rec.mv_NbCommentLine;
  guikit::logComment("Check the compatibility");
  guikit::logComment("Bin1 file loading, please wait... ");
  ASSERT_EQ(rec.comments.size(), 2u);
  EXPECT_EQ(rec.comments[0], " Check the compatibility ");
  EXPECT_EQ(rec.comments[1], " Bin1 file loading, please wait...  ");
  EXPECT_EQ(rec.mv_NbCommentLine, before + 2);
  EXPECT_STREQ(rec.ma_Comment, " Bin1 file loading, please wait...  ");
  // In a job the line is one of the job's events, kept in the job's state; the program's display
  // does not see it.
  testsupport::RecordingDisplay events;
  {
    testsupport::BoundJob job(&events);
    guikit::logComment("The End");
    dwl::logComment("Check the compatibility");
    EXPECT_EQ(job.state.mv_NbCommentLine, 2);
    EXPECT_STREQ(job.state.ma_Comment, " Check the compatibility ");
  }
  EXPECT_EQ(events.comments, (std::vector<std::string>{" The End ", " Check the compatibility "}));
  EXPECT_EQ(rec.comments.size(), 2u);
  // Outside a job the engines' lines go nowhere.
  dwl::logComment("The End");
  EXPECT_EQ(rec.comments.size(), 2u);
}

}  // namespace
