#include "engines/downloader/download_context.h"

#include <cstdlib>
#include <initializer_list>

namespace downloader {

void releaseImages(DownloadContext& ctx) {
  for (std::uint8_t** data : {&ctx.Bin1Data, &ctx.Bin2Data, &ctx.Ogm1Data, &ctx.Ogm2Data}) {
    std::free(*data);
    *data = nullptr;
  }
  ctx.Bin1Length = ctx.Bin2Length = ctx.Ogm1Length = ctx.Ogm2Length = 0;
}

}  // namespace downloader
