#include "platform/codepages.h"
#include "platform/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace kyv::platform {

char pathSeparator() { return '/'; }

std::string moduleFileName() {
  // The object that holds this function: the executable, or the shared object when the
  // kernel is linked into one.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&moduleFileName), &info) != 0 && info.dli_fname != nullptr &&
      info.dli_fname[0] == '/')
    return info.dli_fname;
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

namespace {

std::string gTempRoot;
std::string gTempFolder;
std::string gTempError;

// A copy of the private folder's path that a signal handler may read: written once, before
// gSignalFolderReady is set.
char gSignalFolder[4096];
volatile std::sig_atomic_t gSignalFolderReady = 0;

// Removes the private folder with what is in it. Only async-signal-safe calls (open, the
// getdents64 system call, unlinkat, close, rmdir): the handlers below run this too. The folder
// holds files only; a stray subfolder is removed when empty.
void removeFolderSafely(const char* folder) {
  const int dir = ::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) {
    alignas(8) char buffer[4096];
    for (;;) {
      const long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
      if (n <= 0)
        break;
      for (long at = 0; at < n;) {
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        unsigned short reclen = 0;
        std::memcpy(&reclen, buffer + at + 16, sizeof reclen);
        const char* name = buffer + at + 19;
        if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
          if (::unlinkat(dir, name, 0) != 0)
            ::unlinkat(dir, name, AT_REMOVEDIR);
        }
        if (reclen == 0)
          break;
        at += reclen;
      }
    }
    ::close(dir);
  }
  ::rmdir(folder);
}

void removeTempFolder() {
  if (!gTempFolder.empty() && gTempError.empty())
    removeFolderSafely(gTempFolder.c_str());
}

extern "C" void removeTempFolderAndDie(int signo) noexcept {
  if (gSignalFolderReady != 0)
    removeFolderSafely(gSignalFolder);
  // The handler was installed to run once (SA_RESETHAND) and without blocking its own signal
  // (SA_NODEFER): raising it again ends the process the way the signal would have.
  ::raise(signo);
}

} // namespace

void setTempRoot(const std::string& root) { gTempRoot = root; }

std::string tempFolder() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* env = std::getenv("TMPDIR");
    std::string root = !gTempRoot.empty()                   ? gTempRoot
                       : (env != nullptr && env[0] != '\0') ? std::string(env)
                                                            : std::string("/tmp");
    while (root.size() > 1 && root.back() == '/')
      root.pop_back();
    std::string templ = root + "/kyv-XXXXXX";
    // mkdtemp makes the folder 0700 and never reuses an existing name.
    if (::mkdtemp(templ.data()) != nullptr) {
      gTempFolder = templ;
      if (templ.size() < sizeof gSignalFolder) {
        std::memcpy(gSignalFolder, templ.c_str(), templ.size() + 1);
        gSignalFolderReady = 1;
      }
      std::atexit(removeTempFolder);
    } else {
      // Member files will then fail to be created in the root (missing, or not writable),
      // which the scan reports; gTempError tells the front ends why.
      gTempError = root + ": " + std::strerror(errno);
      gTempFolder = root;
    }
  });
  return gTempFolder;
}

std::string tempFolderError() {
  tempFolder();
  return gTempError;
}

void removeTempFolderOnSignals() {
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction current {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      continue;
    struct sigaction action {};
    action.sa_handler = removeTempFolderAndDie;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(signo, &action, nullptr);
  }
}

std::string lastErrorText() { return std::strerror(errno); }

std::uint32_t processId() { return static_cast<std::uint32_t>(::getpid()); }

void showErrorDialog(const std::string& text, const std::string& caption) {
  const std::string line = cp1251ToUtf8(caption) + ": " + cp1251ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string oemToAnsi(const std::string& text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(oem866ToCp1251(static_cast<unsigned char>(c)));
  return out;
}

bool fileApisAreAnsi() { return true; }

} // namespace kyv::platform
