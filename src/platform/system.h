// The rest of what the system asks of its host operating system.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kyv::platform {

// The character that ends a folder in this system's paths: '\' on Windows, '/' elsewhere.
char pathSeparator();

// Full path of the module that holds this code: the DLL itself on Windows (its own instance
// handle), the executable or shared object elsewhere.
std::string moduleFileName();

// The folder for temporary files (not yet normalised): a private folder with an unpredictable
// name, made once per process under the system's temporary folder (POSIX: $TMPDIR or /tmp, mode
// 0700; Windows: the user's temporary folder) and removed at exit, so that nobody who can write
// the shared folder can plant files or folders at the names member files take.
std::string tempFolder();
// What one attempt to make a folder came to.
enum class MakeFolderResult { Made, Taken, Failed };
// Makes a new folder root + prefix + 16 hex digits of random(), drawing another name while the
// one drawn is taken (a guessed name planted in advance costs the planter, not the scan).
// makeFolder makes one path. The path made, or empty when makeFolder failed otherwise (or
// drew taken names more often than any honest folder would make happen).
std::string makeUniqueFolder(const std::string& root, std::string_view prefix,
                             const std::function<std::uint64_t()>& random,
                             const std::function<MakeFolderResult(const std::string&)>& makeFolder);
// Puts the temporary folder under root instead of the system's choice; only before the first
// tempFolder() call (the command-line tools' --tempdir).
void setTempRoot(const std::string& root);
// Why the private temporary folder could not be made; empty when it was. Member files then
// cannot be created, and scans that need them must say so.
std::string tempFolderError();
// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the private temporary folder with what
// is in it before the process ends by the signal. For programs that own their process (the
// command-line scanner); nothing on Windows, where the folder is the system's own.
void removeTempFolderOnSignals();

// The calling thread's last system error (errno, GetLastError) as the system words it.
std::string lastErrorText();

std::uint32_t processId();

// The one modal error dialog (error icon, OK). text is Windows-1251; on POSIX it goes to stderr
// as UTF-8.
void showErrorDialog(const std::string& text, const std::string& caption);

// Windows-1251 text to UTF-8 for terminals; bytes below 0x80 pass unchanged.
std::string cp1251ToUtf8(const std::string& text);
// The OEM code page (866) to the ANSI one (1251), as a Russian Windows converts ZIP names.
std::string oemToAnsi(const std::string& text);
// Whether the file functions use the ANSI code page (always so on POSIX).
bool fileApisAreAnsi();

} // namespace kyv::platform

namespace kyv::platform {
// The folder rule with this system's separator.
std::string NormalizeFolder(std::string_view folder);
} // namespace kyv::platform
