#include <gtest/gtest.h>
#include "host.h"
TEST(Smoke, Loads) { minihost::MiniHost host(minihost::MiniHost::DefaultModulePath()); std::string t; EXPECT_EQ(host.About(&t), 0); }
