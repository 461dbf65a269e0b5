#include "engines/dumper/dumper_context.h"

namespace dumper {

thread_local int SoftPourcent = 0;

}  // namespace dumper
