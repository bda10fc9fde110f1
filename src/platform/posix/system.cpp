#include "platform/codepages.h"
#include "platform/system.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>
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

std::string gTempFolder;

// Removes our private folder with what is left in it; registered once, run at exit.
void removeTempFolder() {
  if (gTempFolder.empty())
    return;
  if (DIR* dir = ::opendir(gTempFolder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        ::unlink((gTempFolder + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(gTempFolder.c_str());
}

} // namespace

std::string tempFolder() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* base = std::getenv("TMPDIR");
    std::string root = (base != nullptr && base[0] != '\0') ? base : "/tmp";
    while (root.size() > 1 && root.back() == '/')
      root.pop_back();
    std::string templ = root + "/kyv-XXXXXX";
    // mkdtemp makes the folder 0700 and never reuses an existing name.
    if (::mkdtemp(templ.data()) != nullptr) {
      gTempFolder = templ;
      std::atexit(removeTempFolder);
    } else {
      gTempFolder = root;
    }
  });
  return gTempFolder;
}

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
