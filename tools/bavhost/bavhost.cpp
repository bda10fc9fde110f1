// Loads a plug-in DLL exactly as the mail client does (LoadLibrary, GetProcAddress by name,
// stdcall calls), starts it and checks each file given:
//   bavhost [--keep-going] PLUGIN.dll FILE...
// Prints the plug-in's name and version, then one line per file: CODE<TAB>PATH<TAB>BUFFER.
// With --keep-going the files are checked even after a failed start, as some hosts do.
// Exit status: 1 something found, else 2 the plug-in failed to load or start, else 0.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using NoArgs = std::int32_t(__stdcall*)();
using TextQuery = std::int32_t(__stdcall*)(char*, std::int32_t);
using CheckFile = std::int32_t(__stdcall*)(const char*, char*);

template <class F> F entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

} // namespace

int main(int argc, char** argv) {
  const bool keepGoing = argc > 1 && std::strcmp(argv[1], "--keep-going") == 0;
  if (keepGoing) {
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: bavhost [--keep-going] PLUGIN.dll FILE...\n");
    return 2;
  }
  HMODULE plugin = ::LoadLibraryA(argv[1]);
  if (plugin == nullptr) {
    std::fprintf(stderr, "bavhost: cannot load %s (error %lu)\n", argv[1], ::GetLastError());
    return 2;
  }
  const auto getName = entry<TextQuery>(plugin, "BAV_GetName");
  const auto getVersion = entry<TextQuery>(plugin, "BAV_GetVersion");
  const auto initialize = entry<NoArgs>(plugin, "BAV_Initialize");
  const auto uninitialize = entry<NoArgs>(plugin, "BAV_Uninitialize");
  const auto checkFile = entry<CheckFile>(plugin, "BAV_CheckFile");
  if (!getName || !getVersion || !initialize || !uninitialize || !checkFile) {
    std::fprintf(stderr, "bavhost: %s lacks BAV_ entry points\n", argv[1]);
    return 2;
  }

  // Ask for the size first, as a careful host does, then fetch the text.
  const std::int32_t nameLength = getName(nullptr, 0);
  static char text[4096];
  getName(text, nameLength < 4095 ? nameLength : 4095);
  std::printf("name\t%s\n", text);
  getVersion(text, 4095);
  std::printf("version\t%s\n", text);

  const std::int32_t started = initialize();
  std::printf("initialize\t%d\n", static_cast<int>(started));
  if (started != 0 && !keepGoing) {
    uninitialize();
    return 2;
  }
  int status = started != 0 ? 2 : 0;
  for (int i = 2; i < argc; ++i) {
    char buffer[1025];
    buffer[0] = '\0';
    const std::int32_t code = checkFile(argv[i], buffer);
    std::printf("%d\t%s\t%s\n", static_cast<int>(code), argv[i], code == 0 ? "" : buffer);
    if (code != 0)
      status = 1;
  }
  std::fflush(stdout);
  uninitialize();
  ::FreeLibrary(plugin);
  return status;
}
