// Cabinets, through the system's cabinet library. One volume of a split set yields nothing; the
// cabinet library writes each member into the level's temporary file itself, all of them in one
// walk over the cabinet. The budget is charged as the library writes: a member whose declared
// size does not fit what is left is never started, and a write that would pass the budget fails
// and ends the walk, so no more than the budget is ever on disk.
#include <exception>
#include <functional>
#include <string>

#include "archive/cab_reader.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"

namespace kyv::unpack {

namespace {
// "Ошибка распаковки" (unpacking error), the text users see unless detailed errors are asked for.
constexpr std::string_view kUnpackError =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xF0\xE0\xF1\xEF\xE0\xEA\xEE\xE2\xEA\xE8";

} // namespace

void ExtractCab(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  ++owner.Depth;
  const std::string temp = owner.TempFileName();
  std::string current;
  try {
    archive::TAbCabArchive cab(path);
    cab.LoadDirectory();
    if (!cab.HasPrevious() && !cab.HasNext()) {
      // Every wanted member in one walk over the cabinet, each handed over as soon as the
      // library has closed its file: decoding each folder once, whatever the member count.
      const std::function<bool(int)> want = [&](int i) {
        if (owner.Abort)
          return false;
        const auto& item = static_cast<const archive::TAbCabItem&>(*cab.MemberAt(i));
        current = item.FileName;
        if (item.PartialFile || !WantedMember(owner, item, item.UncompressedSize))
          return false;
        if (!owner.AdmitDeclaredSize(item.UncompressedSize))
          return false;
        // Nothing planted at the name is written through: the old file goes first.
        platform::deleteFile(temp);
        return true;
      };
      const std::function<bool(int)> delivered = [&](int i) {
        // Whole, or cut off by the budget (or by damaged data) and handed on as far as it was
        // written: its start is scanned either way.
        owner.DeliverItem(path, "CAB", cab.MemberAt(i)->FileName, temp, chain);
        platform::deleteFile(temp);
        return !owner.Abort;
      };
      cab.WriteGate = [&owner](std::size_t bytes) { return owner.ChargeBytes(bytes); };
      cab.ExtractMembers(want, temp, delivered);
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(
        path + "/" + current + " " +
        (owner.DetailedErrors ? std::string(error.what()) : std::string(kUnpackError)));
  }
  platform::deleteFile(temp);
  // A temporary file that would not go away keeps its depth number taken, so later levels of
  // this scan use fresh names instead of writing into it.
  if (!platform::fileExists(temp))
    --owner.Depth;
}

} // namespace kyv::unpack
