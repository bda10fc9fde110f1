// The cabinet interface over the system's cabinet.dll, loaded by name at first use and kept
// for the life of the process. Its file callbacks are the system's plain file calls.
#include "platform/cabinet.h"

#include <windows.h>

#include <fcntl.h>
#include <fdi.h>
#include <cstdlib>
#include <set>

namespace kyv::platform {

namespace {

using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                      PFNSEEK, int, PERF);
using FdiIsCabinetFn = BOOL(DIAMONDAPI*)(HFDI, INT_PTR, PFDICABINETINFO);
using FdiCopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);

struct Binding {
  bool loaded = false;
  FdiCreateFn create = nullptr;
  FdiIsCabinetFn isCabinet = nullptr;
  FdiCopyFn copy = nullptr;
  FdiDestroyFn destroy = nullptr;
};

template <typename Fn> Fn lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Made once, by whichever call comes first, and only read afterwards.
const Binding& binding() {
  static const Binding b = [] {
    Binding r;
    const HMODULE module = ::LoadLibraryA("cabinet.dll");
    if (!module)
      return r;
    r.loaded = true;
    r.create = lookup<FdiCreateFn>(module, "FDICreate");
    r.isCabinet = lookup<FdiIsCabinetFn>(module, "FDIIsCabinet");
    r.copy = lookup<FdiCopyFn>(module, "FDICopy");
    r.destroy = lookup<FdiDestroyFn>(module, "FDIDestroy");
    return r;
  }();
  return b;
}

class Win32Fdi;
// The context whose walk is running on this thread, so that the library's close callback can
// tell it which of its targets are gone.
thread_local Win32Fdi* tCurrent = nullptr;

void* DIAMONDAPI fdiAlloc(ULONG size) noexcept { return size == 0 ? nullptr : std::malloc(size); }
void DIAMONDAPI fdiFree(void* p) noexcept { std::free(p); }
INT_PTR DIAMONDAPI fdiOpen(char* name, int oflag, int /*pmode*/) noexcept {
  HFILE h;
  if (oflag & _O_CREAT)
    h = ::_lcreat(name, 0);
  else
    h = ::_lopen(name, (oflag & 3) | OF_SHARE_DENY_NONE);
  return h == HFILE_ERROR ? -1 : static_cast<INT_PTR>(h);
}
UINT DIAMONDAPI fdiRead(INT_PTR hf, void* pv, UINT cb) noexcept {
  return ::_lread(static_cast<HFILE>(hf), pv, cb);
}
bool admitTargetWrite(INT_PTR hf, UINT cb) noexcept;
UINT DIAMONDAPI fdiWrite(INT_PTR hf, void* pv, UINT cb) noexcept {
  // Refused by the gate, the write fails and the library abandons the file and the walk.
  if (!admitTargetWrite(hf, cb))
    return static_cast<UINT>(-1);
  return ::_lwrite(static_cast<HFILE>(hf), static_cast<LPCCH>(pv), cb);
}
int DIAMONDAPI fdiClose(INT_PTR hf) noexcept;
LONG DIAMONDAPI fdiSeek(INT_PTR hf, LONG dist, int seektype) noexcept {
  return ::_llseek(static_cast<HFILE>(hf), dist, seektype);
}

INT_PTR DIAMONDAPI fdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION p) noexcept {
  auto* sink = static_cast<CabNotifySink*>(p->pv);
  const auto text = [](const char* s) { return s ? std::string_view(s) : std::string_view(); };
  CabNotification n;
  n.size = p->cb;
  n.text1 = text(p->psz1);
  n.text2 = text(p->psz2);
  n.text3 = text(p->psz3);
  n.handle = p->hf;
  n.date = p->date;
  n.time = p->time;
  n.attributes = p->attribs;
  n.setId = p->setID;
  n.cabinetIndex = p->iCabinet;
  n.folderIndex = p->iFolder;
  // An exception must not unwind through the library's frames: it ends the walk instead.
  try {
    return sink->notify(static_cast<CabNotifyType>(type), n);
  } catch (...) {
    return kCabAbort;
  }
}

class Win32Fdi final : public FdiContext {
public:
  explicit Win32Fdi(HFDI h) : hfdi_(h) {}
  ~Win32Fdi() override {
    closeAll();
    if (binding().destroy)
      binding().destroy(hfdi_);
  }

  CabOpenResult isCabinet(const std::string& path, CabinetInfo& info) override {
    const HFILE hf = ::_lopen(path.c_str(), OF_READ | OF_SHARE_DENY_NONE);
    if (hf == HFILE_ERROR)
      return CabOpenResult::CannotOpen;
    FDICABINETINFO ci{};
    const bool ok = binding().isCabinet && binding().isCabinet(hfdi_, hf, &ci);
    ::_lclose(hf);
    if (!ok)
      return CabOpenResult::NotCabinet;
    info.cabinetSize = ci.cbCabinet;
    info.folderCount = ci.cFolders;
    info.fileCount = ci.cFiles;
    info.setId = ci.setID;
    info.cabinetIndex = ci.iCabinet;
    info.hasReserve = ci.fReserve != 0;
    info.hasPrevious = ci.hasprev != 0;
    info.hasNext = ci.hasnext != 0;
    return CabOpenResult::Cabinet;
  }

  bool copy(const std::string& cabinetName, const std::string& cabinetFolder,
            CabNotifySink& sink) override {
    if (!binding().copy)
      return false;
    std::string name = cabinetName;
    std::string folder = cabinetFolder;
    Win32Fdi* const outer = tCurrent;
    tCurrent = this;
    const bool ok = binding().copy(hfdi_, name.data(), folder.data(), 0, fdiNotify, nullptr, &sink);
    tCurrent = outer;
    closeAll();
    return ok;
  }

  CabHandle createTarget(const std::string& path) override {
    return track(::_lcreat(path.c_str(), 0));
  }
  CabHandle openExisting(const std::string& path) override {
    return track(::_lopen(path.c_str(), OF_WRITE | OF_SHARE_DENY_NONE));
  }
  bool closeTarget(CabHandle handle) override {
    if (open_.erase(handle) == 0)
      return false;
    return ::_lclose(static_cast<HFILE>(handle)) != HFILE_ERROR;
  }

  // The library closed a handle itself; if it was one of our targets, it is gone.
  void forget(INT_PTR hf) noexcept { open_.erase(hf); }
  // Writes go to targets only; a handle of ours is asked about, any other passes.
  bool admits(INT_PTR hf, UINT cb) const { return open_.count(hf) == 0 || admitWrite(cb); }

private:
  CabHandle track(HFILE h) {
    if (h == HFILE_ERROR)
      return kCabAbort;
    open_.insert(static_cast<CabHandle>(h));
    return static_cast<CabHandle>(h);
  }
  void closeAll() {
    for (const CabHandle h : open_)
      ::_lclose(static_cast<HFILE>(h));
    open_.clear();
  }

  HFDI hfdi_;
  std::set<CabHandle> open_;
};

int DIAMONDAPI fdiClose(INT_PTR hf) noexcept {
  if (tCurrent)
    tCurrent->forget(hf);
  return ::_lclose(static_cast<HFILE>(hf)) == HFILE_ERROR ? -1 : 0;
}

bool admitTargetWrite(INT_PTR hf, UINT cb) noexcept {
  try {
    return tCurrent == nullptr || tCurrent->admits(hf, cb);
  } catch (...) {
    return false;
  }
}

// The error record the library fills; one per process is enough as nothing reads it.
ERF gErf{};

} // namespace

// Only a missing library fails the binding; a missing function makes its own call fail.
bool bindCabinetLibrary() { return binding().loaded; }

std::unique_ptr<FdiContext> FdiContext::create() {
  if (!binding().create)
    return nullptr;
  const HFDI h = binding().create(fdiAlloc, fdiFree, fdiOpen, fdiRead, fdiWrite, fdiClose, fdiSeek,
                                  cpuUNKNOWN, &gErf);
  if (!h)
    return nullptr;
  return std::make_unique<Win32Fdi>(h);
}

void setCabFileInfo(const std::string& path, std::uint16_t date, std::uint16_t time,
                    std::uint16_t attributes) {
  const HANDLE h =
      ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    FILETIME local{};
    FILETIME utc{};
    if (::DosDateTimeToFileTime(date, time, &local) && ::LocalFileTimeToFileTime(&local, &utc))
      ::SetFileTime(h, &utc, &utc, &utc);
    ::CloseHandle(h);
  }
  // Hidden, system and archive as stored; read-only is left off (see the header), and the
  // cabinet's own bits (run after extraction, name in UTF-8) are no file attributes.
  const DWORD kept =
      attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  ::SetFileAttributesA(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
}

} // namespace kyv::platform
