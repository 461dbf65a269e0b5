#include "dumper/dumper_context.h"

namespace dumper {

DumperContext sg_DownloadContext;
int prior_value_start = kFirstSector;
int prior_value_end = kLastSector;
thread_local int SoftPourcent = 0;

void resetDumperState() {
  sg_DownloadContext = DumperContext();
  prior_value_start = kFirstSector;
  prior_value_end = kLastSector;
  SoftPourcent = 0;
}

}  // namespace dumper
