#include "platform/volume.h"

#include <windows.h>

namespace kyv::platform {

bool isRemovableDrive(const std::string& path) {
  // The drive root of a path "X:\..." or "\\server\share\..."; relative paths ask about the
  // current drive.
  std::string root;
  if (path.size() >= 2 && path[1] == ':') {
    root = path.substr(0, 2) + "\\";
  } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
             (path[1] == '\\' || path[1] == '/')) {
    return false; // network paths are never removable media
  }
  return ::GetDriveTypeA(root.empty() ? nullptr : root.c_str()) == DRIVE_REMOVABLE;
}

bool askOkCancel(const std::string& text, const std::string& caption) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OKCANCEL | MB_ICONQUESTION) ==
         IDOK;
}

} // namespace kyv::platform
