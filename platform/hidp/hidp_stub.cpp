// Placeholder until the parser lands: every descriptor is refused.
#include "platform/hidp/hidp.h"

namespace hidp {
PHIDP_PREPARSED_DATA ParseDescriptor(const uint8_t*, std::size_t) { return nullptr; }
void FreePreparsedData(PHIDP_PREPARSED_DATA) {}
}  // namespace hidp
