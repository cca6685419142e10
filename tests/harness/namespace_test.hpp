// Base fixture of tests that run in the harness's namespace and read the
// log: checks the namespace and hands a cleared syslog recorder.
#pragma once

#include <gtest/gtest.h>

#include "process.hpp"
#include "syslog_recorder.hpp"

namespace kv::test {

class NamespaceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(in_test_namespace()) << "run through tests/harness/nsrun.sh";
        log_ = shared_syslog();
        ASSERT_NE(log_, nullptr);
        log_->clear();
    }
    SyslogRecorder* log_ = nullptr;
};

}  // namespace kv::test
