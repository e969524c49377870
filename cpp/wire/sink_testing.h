// Test support for encoders (GoogleTest only): runs an encode routine through every sink.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/sink.h"

namespace kvt::testing {

// Runs encode(sink) into a Sizer, into a Writer over exactly the counted size, and into a Writer
// with ample room (which lets bulk writers take their over-wide store paths); all three must
// agree. Returns the bytes.
template <class F>
std::vector<uint8_t> encode_with(F encode) {
  Sizer sizer;
  encode(sizer);
  std::vector<uint8_t> out(sizer.size());
  Writer w(out.data(), out.size());
  encode(w);
  EXPECT_EQ(w.size(), sizer.size());
  std::vector<uint8_t> roomy(out.size() * 9 + 64, 0xEE);
  Writer wide(roomy.data(), roomy.size());
  encode(wide);
  EXPECT_EQ(wide.size(), out.size());
  EXPECT_EQ(
      std::vector<uint8_t>(roomy.begin(), roomy.begin() + static_cast<std::ptrdiff_t>(out.size())),
      out);
  return out;
}

}  // namespace kvt::testing
