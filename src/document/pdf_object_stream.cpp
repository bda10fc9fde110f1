#include "document/pdf_object_stream.h"

#include <algorithm>
#include <vector>

#include "document/pdf_parser.h"

namespace kyv::document {

void forEachPackedObject(std::span<const std::byte> decoded, const PdfObject& dict,
                         const std::function<void(PdfId, const PdfObject&)>& visit) {
  const PdfObject* n = dict.get("N");
  const PdfObject* first = dict.get("First");
  if (n == nullptr || first == nullptr || !n->isInt() || !first->isInt() || n->number <= 0 ||
      first->number < 0 || static_cast<std::uint64_t>(first->number) > decoded.size())
    return;
  const auto start = static_cast<std::size_t>(first->number);
  struct Slot {
    std::uint32_t number;
    std::size_t offset;
  };
  std::vector<Slot> slots;
  // Each pair takes at least four bytes of the header ("1 0 "), so the header bounds the count.
  PdfParser header(decoded, 0, start);
  for (std::int64_t i = 0; i < n->number; ++i) {
    const std::optional<PdfObject> number = header.next();
    const std::optional<PdfObject> offset = header.next();
    if (!number || !offset || !number->isInt() || !offset->isInt() || number->number < 0 ||
        number->number > UINT32_MAX || offset->number < 0 ||
        static_cast<std::uint64_t>(offset->number) > decoded.size() - start)
      break;
    slots.push_back({static_cast<std::uint32_t>(number->number),
                     start + static_cast<std::size_t>(offset->number)});
  }
  // Each object ends where the next one (by offset) begins; slots that share an offset (which
  // only a forged header writes) share one reading, so the data is read once whatever the count.
  std::stable_sort(slots.begin(), slots.end(),
                   [](const Slot& a, const Slot& b) { return a.offset < b.offset; });
  std::optional<PdfObject> value;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i == 0 || slots[i].offset != slots[i - 1].offset) {
      std::size_t end = decoded.size();
      for (std::size_t j = i + 1; j < slots.size(); ++j)
        if (slots[j].offset != slots[i].offset) {
          end = slots[j].offset;
          break;
        }
      PdfParser parser(decoded, slots[i].offset, end);
      value = parser.next();
    }
    if (value)
      visit({slots[i].number, 0}, *value);
  }
}

} // namespace kyv::document
