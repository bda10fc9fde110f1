#include "platform/volume.h"

namespace kyv::platform {

bool isRemovableDrive(const std::string&) { return false; }

bool askOkCancel(const std::string&, const std::string&) { return false; }

} // namespace kyv::platform
