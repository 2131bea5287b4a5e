// A fixture that brings up the heaps and the string runtime the way start-up does, and
// takes them down after.
#pragma once
#include <gtest/gtest.h>

#include "core/heaps.h"
#include "strings/area.h"

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_heap_create();
    str_runtime_start();
    mem_init();
  }
  void TearDown() override {
    mem_shutdown();
    str_runtime_stop();
    runtime_heap_destroy();
  }
};
