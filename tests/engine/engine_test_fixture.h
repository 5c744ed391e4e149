// Common fixture of the engine tests: a fresh event loop, fast ticks, a
// temporary folder with the served files and one downloads folder.
#pragma once

#include <gtest/gtest.h>

#include "platform/events.h"
#include "platform/posix/event_loop.h"
#include "tests/engine/engine_harness.h"
#include "tests/servers/test_servers.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetEventLoop();
        overrideTickCount(nullptr);
        // 5 ms ticks: the 5 s retry wait takes a quarter of a second.
        setTickIntervalMs(5);
        www = dir.path() + "/www";
        out = dir.path() + "/out";
        testservers::makeDirs(www);
        testservers::makeDirs(out);
    }
    void TearDown() override {
        overrideTickCount(nullptr);
        resetEventLoop();
    }
    std::string outPath(const std::string& name) const { return out + "/" + name; }

    testservers::TempDir dir;
    std::string www;
    std::string out;
};
