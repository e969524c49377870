#include "columns/compact_column.h"

#include "model/result.h"

namespace kvt {

Decoded<bool> read_column_head(Reader& r, uint64_t* n, int64_t* header) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  if (count == 0) return false;
  KVT_ASSIGN_OR_RETURN(*header, r.read_i64());
  *n = count - 1;
  return *n != 0;
}

}  // namespace kvt
