// Drive facts and the one question dialog the ZIP reader needs for spanned disk sets.
#pragma once

#include <string>

namespace kyv::platform {

// Whether the file lies on a removable drive (a floppy): never so on POSIX.
bool isRemovableDrive(const std::string& path);

// A modal OK/Cancel question; true for OK. Without a desktop (POSIX) the answer is Cancel.
bool askOkCancel(const std::string& text, const std::string& caption);

} // namespace kyv::platform
