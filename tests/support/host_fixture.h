// A stand-in host with the effect module loaded, for tests that drive the
// module through MainEntry.
#pragma once

#include <gtest/gtest.h>

#include "minihost/host.h"
#include "tests/support/test_host.h"

class HostTest : public ::testing::Test {
 protected:
  HostTest() : host(minihost::MiniHost::DefaultModulePath()) {}
  minihost::TestHost host;
};

// A host whose effect has declared its controls.
class ParamsHostTest : public HostTest {
 protected:
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }
};
