// VBA-project compression for tests, written from the published description: a signature byte,
// then one chunk per 4096 bytes of input, each either compressed (flag bytes, literal bytes and
// copy tokens found by a greedy longest-match search inside the chunk) or, when asked or when
// compression would not shrink a full chunk, stored as it is.
#pragma once

#include <string>

namespace kyv::test {

enum class OvbaMode { Compress, LiteralsOnly, StoreFullChunks };

std::string OvbaCompress(const std::string& data, OvbaMode mode = OvbaMode::Compress);

} // namespace kyv::test
