// The service panel: boots a handset into the running bootstrap at the working speed without
// downloading anything, and switches it off again.
#pragma once

#include <cstdint>
#include <string>

#include "engines/downloader/download_context.h"

namespace downloader {

extern int mv_NbSectorsDisplayService;

// Opens the service panel (or brings it to the front) with the list of known flashes.
void openServicePanel();
// Dims or restores the panel's buttons while the main panel runs an operation.
void dimServicePanel(bool dim);
// Closes the serial port a switch-on left open, if any. The port stays open after a switch-on
// (the handset sits in its bootstrap) until the service panel closes, a Start boots again, or
// the program ends.
void closeServicePort();
// The port a switch-on left open, 0 when none.
int servicePortOpen();

int dwl53_10SwitchOnMobile(int panel, int control, int event, void* data, int data1, int data2);
int dwl53_11SwitchOffMobile(int panel, int control, int event, void* data, int data1, int data2);
int dwl53_16ServicePanelQuit(int panel, int event, void* data, int data1, int data2);

// The lines the panel shows.
void dwl53_0DisplayFlashKnown();
void dwl53_1DisplaySectorService(std::uint32_t index, std::uint32_t size, std::uint32_t value,
                                 const std::string& state, const DownloadContext& ctx,
                                 int& counter);
// One line of the known-flash list, in the service panel's column format.
std::string knownFlashLine(const char* maker, const char* device, unsigned makerId,
                           unsigned deviceId, int banks, int sectors);

}  // namespace downloader
