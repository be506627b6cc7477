// The suite cache: acquire on first use, release everything once at the end.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/suite_handler.h"

namespace {

// A basic suite that knows every suite but one and logs each call.
struct FakeBasic {
  static inline std::vector<std::pair<std::string, int>> acquired, released;
  static inline std::string missing;
  static SPErr Acquire(const char* name, A_long version, const void** suite) {
    if (missing == name) return kSPSuiteNotFoundError;
    acquired.emplace_back(name, version);
    static const int table = 0;
    *suite = &table;
    return kSPNoError;
  }
  static SPErr Release(const char* name, A_long version) {
    released.emplace_back(name, version);
    return kSPNoError;
  }
  static SPBasicSuite Suite() {
    acquired.clear();
    released.clear();
    missing.clear();
    return SPBasicSuite{Acquire, Release};
  }
};

TEST(SuiteHandler, NeverAskedReleasesNothing) {
  SPBasicSuite basic = FakeBasic::Suite();
  { AEGP_SuiteHandler suites(&basic); }
  EXPECT_TRUE(FakeBasic::acquired.empty());
  EXPECT_TRUE(FakeBasic::released.empty());
}

TEST(SuiteHandler, AsksOnceReleasesOnceUnderTheSameNameAndVersion) {
  SPBasicSuite basic = FakeBasic::Suite();
  {
    AEGP_SuiteHandler suites(&basic);
    EXPECT_EQ(suites.WorldSuite2(), suites.WorldSuite2());
    suites.WorldSuite1();
    suites.LayerSuite5();
  }
  using P = std::pair<std::string, int>;
  EXPECT_EQ(FakeBasic::acquired, (std::vector<P>{{"PF World Suite", 2}, {"PF World Suite", 1}, {"AEGP Layer Suite", 5}}));
  // Released in the handler's fixed slot order.
  EXPECT_EQ(FakeBasic::released, (std::vector<P>{{"PF World Suite", 1}, {"PF World Suite", 2}, {"AEGP Layer Suite", 5}}));
}

TEST(SuiteHandler, MissingSuiteThrows516AndKeepsWhatWasAcquired) {
  SPBasicSuite basic = FakeBasic::Suite();
  FakeBasic::missing = "AEGP Light Suite";
  try {
    AEGP_SuiteHandler suites(&basic);
    suites.StreamSuite4();
    suites.LightSuite1();
    FAIL() << "no exception";
  } catch (int err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
  ASSERT_EQ(FakeBasic::released.size(), 1u);
  EXPECT_EQ(FakeBasic::released[0].first, "AEGP Stream Suite");
}

TEST(SuiteHandler, NoBasicSuiteThrows516) {
  try {
    AEGP_SuiteHandler suites(nullptr);
    FAIL() << "no exception";
  } catch (int err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
}

}  // namespace
