// The system's cabinet library, in the shape of its decompression interface: a context is
// created, a file is tested for being a cabinet (with the facts of its header), the cabinet is
// walked with notifications (cabinet information, then each file, then the close of each file
// that was copied) and the context is destroyed. Windows binds the system library by name;
// elsewhere a stand-in with the same operations and results does the work, so the archive
// reader above is the same code on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kyv::platform {

// A file handle in the cabinet library's handle space. As an answer to a copy-file notification
// 0 means "skip this file" and -1 "abort the walk".
using CabHandle = std::intptr_t;
inline constexpr CabHandle kCabSkip = 0;
inline constexpr CabHandle kCabAbort = -1;

struct CabinetInfo {
  std::int32_t cabinetSize = 0;
  std::uint16_t folderCount = 0;
  std::uint16_t fileCount = 0;
  std::uint16_t setId = 0;
  std::uint16_t cabinetIndex = 0;
  bool hasReserve = false;
  bool hasPrevious = false;
  bool hasNext = false;
};

enum class CabNotifyType {
  CabinetInfo = 0, // text1 next cabinet's name, text2 its disk, text3 this cabinet's path
  PartialFile = 1, // a file continued from an earlier cabinet: text1 its name, text2 that cabinet
  CopyFile = 2,    // text1 the name, size, date, time, attributes; answer a handle, 0 or -1
  CloseFile = 3,   // handle, date, time, attributes of a file that was copied
  NextCabinet = 4, // the walk needs the next cabinet of a set
  Enumerate = 5,
};

struct CabNotification {
  std::int32_t size = 0;
  std::string_view text1; // bytes as stored in the cabinet, no terminator
  std::string_view text2;
  std::string_view text3;
  CabHandle handle = 0;
  std::uint16_t date = 0; // MS-DOS date and time
  std::uint16_t time = 0;
  std::uint16_t attributes = 0;
  std::uint16_t setId = 0;
  std::uint16_t cabinetIndex = 0;
  std::uint16_t folderIndex = 0;
};

class CabNotifySink {
public:
  virtual ~CabNotifySink() = default;
  // Answers 0 to go on (or to skip a copy), a handle to copy into, -1 to abort.
  virtual CabHandle notify(CabNotifyType type, const CabNotification& n) = 0;
};

// Binds the cabinet library once per process; false when it cannot be loaded. Later calls
// return the first answer. A function missing from the library makes only its own use fail.
bool bindCabinetLibrary();

enum class CabOpenResult { Cabinet, NotCabinet, CannotOpen };

// One decompression context. Create only after bindCabinetLibrary() succeeded.
class FdiContext {
public:
  // Null when the library refuses to create a context.
  static std::unique_ptr<FdiContext> create();
  virtual ~FdiContext() = default;

  // Opens the file for reading (sharing allowed) and tests its header.
  virtual CabOpenResult isCabinet(const std::string& path, CabinetInfo& info) = 0;
  // Walks the cabinet folder + name with notifications to sink. False when the library reports
  // failure (unreadable, damaged or, for copies, undecodable data). Target handles that sink
  // answered and did not close again are closed before this returns, on success or failure.
  virtual bool copy(const std::string& cabinetName, const std::string& cabinetFolder,
                    CabNotifySink& sink) = 0;

  // Targets for copy-file answers, in the library's handle space; -1 on failure. create makes a
  // new file (replacing one that is there); openExisting opens a file for writing from its
  // start without truncating it.
  virtual CabHandle createTarget(const std::string& path) = 0;
  virtual CabHandle openExisting(const std::string& path) = 0;
  virtual bool closeTarget(CabHandle handle) = 0;

  // Asked before every write into a target, with the number of bytes about to be written; a
  // refusal fails that write, so the library gives up the file (and the walk) there and then,
  // instead of a budget learning of the bytes only once a whole file is on disk. No gate
  // admits everything.
  using WriteGate = std::function<bool(std::size_t bytes)>;
  void setWriteGate(WriteGate gate) { gate_ = std::move(gate); }

protected:
  bool admitWrite(std::size_t bytes) const { return !gate_ || gate_(bytes); }

private:
  WriteGate gate_;
};

// Gives a written file the MS-DOS date and time (local time) and the attributes a cabinet
// carries for it. The read-only attribute is not applied: the files written here are temporary
// and must stay deletable. Where the system has no such attributes they are ignored.
void setCabFileInfo(const std::string& path, std::uint16_t date, std::uint16_t time,
                    std::uint16_t attributes);

} // namespace kyv::platform
