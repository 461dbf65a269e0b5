// The downloader's callbacks by the names its panel forms use.
#pragma once

#include "apps/guikit/userint.h"

namespace downloader {

const guikit::CallbackTable& downloaderCallbacks();

}  // namespace downloader
