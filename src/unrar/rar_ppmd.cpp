#include "unrar/rar_ppmd.h"

namespace kyv::unrar {

void RarPpmdDecoder::init(BitReader& in, int& escape) {
  const unsigned flags = in.get(8);
  const bool restart = (flags & 0x20) != 0;
  unsigned megabytes = 0;
  if (restart)
    megabytes = in.get(8);
  else if (!model_.started())
    dataError("PPMd block continues a model that was never started");
  if (flags & 0x40)
    escape = static_cast<int>(in.get(8));
  state_.low = state_.code = 0;
  state_.range = 0xFFFFFFFFu;
  for (int i = 0; i < 4; ++i)
    state_.code = (state_.code << 8) | in.get(8);
  if (restart) {
    int order = static_cast<int>(flags & 0x1F) + 1;
    if (order > 16)
      order = 16 + (order - 16) * 3;
    if (order == 1)
      dataError("PPMd model order 1 is not valid");
    model_.restart(order, (megabytes + 1) << 20);
  }
  if (!model_.started())
    dataError("PPMd model not started");
}

} // namespace kyv::unrar
