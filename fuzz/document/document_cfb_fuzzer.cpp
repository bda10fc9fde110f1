// The compound-file reader over arbitrary bytes: every stream of the directory read, then the
// message walk and its items, or the Office items (packages, PowerPoint objects, VBA modules),
// read as the kernel reads them. Besides memory errors it checks that
// the streams read together never give more bytes than the input holds, whatever the FAT,
// miniFAT and directory say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "base/error.h"
#include "document/compound_file.h"
#include "document/msg_reader.h"
#include "document/office_items.h"
#include "document/utf16_sink.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 20;

std::uint64_t readAll(kyv::document::TCompoundFile& file, std::uint32_t id) {
  kyv::NullSink sink;
  (void)file.ReadStream(id, sink);
  return sink.count();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  kyv::MemorySource source({reinterpret_cast<const std::byte*>(data), size});
  try {
    kyv::document::TCompoundFile file(source);
    std::uint64_t total = 0;
    for (std::uint32_t id = 0; id < file.EntryCount(); ++id)
      if (file.Entry(id).Type == kyv::document::TCfbType::Stream)
        total += readAll(file, id);
    if (total > size)
      std::abort();
    if (kyv::document::IsMessageStorage(file, kyv::document::TCompoundFile::kRootId)) {
      for (const auto& item : kyv::document::ListMessageItems(file)) {
        kyv::NullSink sink;
        kyv::document::Utf16LeToUtf8Sink text(sink);
        (void)file.ReadStream(item.Stream, item.Unicode ? static_cast<kyv::ByteSink&>(text) : sink);
        (void)text.finish();
        // Streams already read above give the same bytes again, never more than the input.
        if (!item.Unicode && sink.count() > size)
          std::abort();
      }
    } else {
      const auto listing = kyv::document::ListOfficeItems(file);
      kyv::document::TOfficeItemWriter writer(file);
      for (const auto& item : listing.Items) {
        // Decompressed items can outgrow the input; a cap stands in for the scan's budget.
        kyv::VectorSink sink(8u << 20);
        (void)writer.Write(item, sink);
        if (item.Kind == kyv::document::TOfficeItem::TKind::Package && sink.bytes().size() > size)
          std::abort();
      }
    }
  } catch (const kyv::Error&) {
    // refused: no compound file, or a header or root that cannot be used
  }
  return 0;
}
