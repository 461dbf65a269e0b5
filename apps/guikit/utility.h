// The error windows both programs open (resource file "Utility"): one message control and one
// button each; the button's callback name is written in each form.
#pragma once

namespace guikit {

inline constexpr const char* kUtility = "Utility";

// Panel numbers.
inline constexpr int UTILITY_BOOT_ERR = 1;
inline constexpr int UTILITY_COMMAND_ERR = 3;
inline constexpr int UTILITY_CONF_FILE_ERR = 5;
inline constexpr int UTILITY_FLASH_FILE_ERR = 6;
inline constexpr int UTILITY_GENERIC_ERR = 7;
inline constexpr int UTILITY_LIB_PC_ERR = 8;

// Controls, the same in every error window.
inline constexpr int UTILITY_MESSAGE = 2;
inline constexpr int UTILITY_BUTTON = 3;

void registerUtilityPanels();

}  // namespace guikit
