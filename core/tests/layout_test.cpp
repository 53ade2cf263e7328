// The buffers a run's result is written into: large ones must reach the kernel as huge-page
// candidates, or every first touch of a result faults once per 4 KiB page.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "quarnel/layout.hpp"

namespace quarnel {
namespace {

// The mode /sys reports for transparent huge pages ("always", "madvise", "never"), or
// nullopt where the kernel has none.
std::optional<std::string> huge_page_mode() {
  std::ifstream file("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  const auto open = line.find('[');
  const auto close = line.find(']');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  return line.substr(open + 1, close - open - 1);
}

// The THPeligible flag of the mapping of this process that holds `address`.
std::optional<bool> huge_page_eligible(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream header(line);
    if (header >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = begin <= at && at < end;
      continue;
    }
    if (inside && line.rfind("THPeligible:", 0) == 0) return line.find('1') != std::string::npos;
  }
  return std::nullopt;
}

TEST(ValueBuffer, LargeBuffersAreHugePageCandidatesAndSmallOnesAreNot) {
  const std::optional<std::string> mode = huge_page_mode();
  if (!mode || *mode == "never") GTEST_SKIP() << "the kernel offers no transparent huge pages";
  ValueBuffer large(std::size_t{3} << 20);  // 24 MiB: spans whole huge pages
  large.back() = 1.0;
  EXPECT_EQ(huge_page_eligible(large.data()), true);
  EXPECT_EQ(huge_page_eligible(large.data() + large.size() - 1), true);
  if (*mode == "madvise") {
    // Where huge pages are only given on request, a small buffer never asks for them.
    ValueBuffer small(1000);
    EXPECT_NE(huge_page_eligible(small.data()), true);
  }
}

TEST(ValueBuffer, KeepsWhatIsWrittenAcrossGrowthAndCopies) {
  ValueBuffer values;
  for (std::size_t k = 0; k < (std::size_t{1} << 19); ++k) values.push_back(static_cast<double>(k));
  const ValueBuffer copy = values;
  values.resize(values.size() * 2);
  for (std::size_t k = 0; k < copy.size(); ++k) {
    ASSERT_EQ(values[k], static_cast<double>(k));
    ASSERT_EQ(copy[k], static_cast<double>(k));
  }
}

}  // namespace
}  // namespace quarnel
