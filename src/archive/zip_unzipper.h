// The front end over one open archive: it holds the settings and hooks, recognises or is told the
// archive type, creates the matching reader and hands its settings on.
#pragma once

#include <memory>
#include <string>

#include "archive/ab_archive.h"
#include "archive/zip_archive.h"

namespace kyv::archive {

enum class TAbArchiveType {
  atUnknown = 0,
  atZip = 1,
  atSpannedZip = 2, // begins with a spanning marker
  atSelfExtZip = 3,
  atTar = 4,
  atGzip = 5,
  atGzippedTar = 6,
  atCab = 7,
};

class TAbBaseBrowser {
public:
  TAbBaseBrowser();
  virtual ~TAbBaseBrowser();
  TAbBaseBrowser(const TAbBaseBrowser&) = delete;
  TAbBaseBrowser& operator=(const TAbBaseBrowser&) = delete;

  // Opens a file (closing any archive open before). Raises EAbFileNotFound, EAbBadStream (empty
  // file), EAbUnhandledType, or whatever loading the directory raises.
  void OpenArchive(const std::string& fileName);
  void CloseArchive();

  int MemberCount() const { return archive_ ? archive_->MemberCount() : 0; }
  TAbArchiveItem* MemberAt(int index) const {
    return archive_ ? archive_->MemberAt(index) : nullptr;
  }
  int FindMember(std::string_view name) const { return archive_ ? archive_->FindMember(name) : -1; }
  TAbArchive* Archive() const { return archive_.get(); }

  // Settings handed to the archive when it is opened.
  TAbArchiveType ArchiveType = TAbArchiveType::atUnknown;
  bool ForceType = false;
  std::string FileName;
  std::string Password;
  unsigned ExtractOptions = eoCreateDirs;
  int PasswordRetries = 3;
  std::string TempDirectory;
  std::string BaseDirectory;
  std::string LogFile;
  bool Logging = false;

  TAbArchive::TAbConfirmProcessItemEvent OnConfirmProcessItem;
  TAbArchive::TAbProcessItemFailureEvent OnProcessItemFailure;
  TAbArchive::TAbNeedPasswordEvent OnNeedPassword;
  TAbArchive::TAbProgressEvent OnArchiveProgress;
  TAbArchive::TAbRequestDiskEvent OnRequestLastDisk;
  TAbArchive::TAbConfirmOverwriteEvent OnConfirmOverwrite;
  std::function<void(TAbBaseBrowser& sender)> OnChange;

  // The type a file's extension and content suggest (0 when none fits).
  static TAbArchiveType DetectArchiveType(const std::string& fileName);

protected:
  std::unique_ptr<TAbArchive> archive_;
};

class TAbCustomZipBrowser : public TAbBaseBrowser {
public:
  // The ZIP member at index; null when the open archive is not a ZIP or the index is outside.
  TAbZipItem* ZipItemAt(int index) const;
};

class TAbCustomUnZipper : public TAbCustomZipBrowser {
public:
  // Writes the named member into stream; failures of the member reach only OnProcessItemFailure.
  // Raises EAbNoArchive when no valid archive is open.
  void ExtractMemberToStream(std::string_view name, ByteSink& stream);
  // Writes the member at index: members listed under one name stay distinct.
  void ExtractMemberToStreamAt(int index, ByteSink& stream);
  void ExtractMemberAt(int index, const std::string& targetPath);
};

class TAbUnZipper final : public TAbCustomUnZipper {};

} // namespace kyv::archive
