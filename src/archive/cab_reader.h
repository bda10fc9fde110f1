// The CAB reader: lists and extracts the files of a cabinet through the system's cabinet
// library (platform/cabinet.h); it holds no cabinet decoder of its own.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "archive/ab_archive.h"
#include "platform/cabinet.h"

namespace kyv::archive {

class TAbCabItem : public TAbArchiveItem {
public:
  // The file continues from an earlier cabinet of a set.
  bool PartialFile = false;
  std::uint16_t Attributes = 0;
};

class TAbCabArchive : public TAbArchive {
public:
  explicit TAbCabArchive(const std::string& fileName);
  ~TAbCabArchive() override;

  // Whether the cabinet is one volume of a set.
  bool HasPrevious() const { return info_.hasPrevious; }
  // A next cabinet shows in the header flags and in the name the listing reports; some cabinet
  // libraries clear the flag in what they return, so either one counts.
  bool HasNext() const { return info_.hasNext || !nextCabinet_.empty(); }
  const platform::CabinetInfo& CabinetInfo() const { return info_; }
  std::uint16_t SetId() const { return setId_; }
  std::uint16_t CabinetIndex() const { return cabinetIndex_; }

  // Extracts the members that want accepts (by index) in one walk over the cabinet, each into
  // targetPath, made afresh for it. Once the library has closed a member's file (its close
  // notification), delivered(index) is called before the walk goes on; answering false ends
  // the walk. A member whose data fails is told to the failure hook and delivered as far as it
  // was written, and a further walk picks up the members after it, so a damaged member costs
  // only itself. Members are told apart by their place in the cabinet, never by their names.
  void ExtractMembers(const std::function<bool(int index)>& want, const std::string& targetPath,
                      const std::function<bool(int index)>& delivered);

  // Asked before each write into a member's file (see platform::FdiContext::setWriteGate); a
  // refusal ends that member where it stands, as a member whose data failed. Empty: no bound.
  platform::FdiContext::WriteGate WriteGate;

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;
  void ExtractItemAt(int index, const std::string& targetPath) override;

private:
  class ListNotify;
  class ExtractNotify;

  // Puts a member's target in place: its folder made when the options allow, an existing file
  // kept when the overwrite hook refuses it. The path written, or empty to skip the member.
  std::string PrepareTarget(const std::string& member, const std::string& targetPath);

  std::string cabName_;   // the file name part of the archive's path
  std::string cabFolder_; // its folder, with the trailing separator (empty when none)
  std::unique_ptr<platform::FdiContext> fdi_;
  platform::CabinetInfo info_;
  std::uint16_t setId_ = 0;
  std::uint16_t cabinetIndex_ = 0;
  std::string nextCabinet_;
  std::string nextDisk_;
};

} // namespace kyv::archive
