// Buttons of the error windows: each discards its window, resets the indicators and progress and
// unlocks the main panel.
#pragma once

namespace downloader {

int dwl54_0GenericErrWindowsButton(int panel, int control, int event, void* data, int data1,
                                   int data2);
int dwl54_1FlashFileErrButton(int panel, int control, int event, void* data, int data1, int data2);
int dwl54_2ConfFileErrButton(int panel, int control, int event, void* data, int data1, int data2);
int dwl54_3PcLibrairiesErrButton(int panel, int control, int event, void* data, int data1,
                                 int data2);
int dwl54_4BootErrorWindowsButton(int panel, int control, int event, void* data, int data1,
                                  int data2);
int dwl54_6CommandErrWindowButton(int panel, int control, int event, void* data, int data1,
                                  int data2);

}  // namespace downloader
