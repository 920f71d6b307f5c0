#include "runtime/failure.h"

namespace vica {

void fail_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                            " but the index is " + std::to_string(index),
                        where);
}

}  // namespace vica
