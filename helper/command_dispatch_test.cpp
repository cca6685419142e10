// Command-code extraction and the handler buffer rules, away from the bus.
#include "command_dispatch.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace kv::helper {
namespace {

TEST(ExtractCommandCode, FirstStringMemberNamedExactlyCmd) {
    const struct {
        const char* text;
        int result;
        const char* code;
    } cases[] = {
        {R"({ "CMD_":"GLOG" })", 0, "GLOG"},
        {R"({ "VALU":"1", "CMD_":"SLOG" })", 0, "SLOG"},
        {R"({ "CMD_":"SCAN", "CMD_":"THRT" })", 0, "THRT"},   // the parser keeps the later duplicate
        {R"({ "cmd_":"GLOG" })", -EINVAL, nullptr},
        {R"({ "CMD_X":"GLOG" })", -EINVAL, nullptr},
        {R"({ "CMD":"GLOG" })", -EINVAL, nullptr},
        {R"({ "CMD_":7 })", -EINVAL, nullptr},
        {R"({ "CMD_":null })", -EINVAL, nullptr},
        {R"([ "CMD_", "GLOG" ])", -EINVAL, nullptr},
        {"CMD_", -EINVAL, nullptr},
        {"", -EINVAL, nullptr},
    };
    for (const auto& c : cases) {
        char code[kCommandCodeSize];
        std::memset(code, 'z', sizeof code);
        EXPECT_EQ(extract_command_code(c.text, code), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_STREQ(code, c.code);
        }
    }
}

TEST(ExtractCommandCode, LongCodesAreBoundedBy16Bytes) {
    char code[kCommandCodeSize];
    ASSERT_EQ(extract_command_code(R"({ "CMD_":"ABCDEFGHIJKLMNOPQRSTU" })", code), 0);
    EXPECT_EQ(std::string(code, sizeof code), "ABCDEFGHIJKLMNOP");
}

// Handlers that record what they were given and answer as set up.
struct Call {
    std::string request;
    int capacity;
    int length;
};
std::vector<Call> g_calls;
int g_wanted = 0;          // length to report on the first call
int g_second_answer = 0;   // length written and reported on the second call

void recording_handler(char* buffer, int capacity, int* length) {
    g_calls.push_back({std::string(buffer), capacity, *length});
    if (g_calls.size() == 1) {
        std::memset(buffer, 'S', static_cast<std::size_t>(capacity));   // scribbles over the request
        *length = g_wanted;
        return;
    }
    const int n = g_second_answer < capacity ? g_second_answer : capacity;
    std::memset(buffer, 'r', static_cast<std::size_t>(n));
    *length = g_second_answer;
}

class RunHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_wanted = 0;
        g_second_answer = 0;
    }
    std::size_t run(const std::string& request) {
        EXPECT_EQ(buffer_.load(request.data(), request.size()), 0);
        std::size_t length = 0;
        EXPECT_EQ(run_handler(recording_handler, request.data(), request.size(), buffer_, &length), 0);
        return length;
    }
    CommandBuffer buffer_;
};

TEST_F(RunHandlerTest, ShortRequestUsesTheFixedBufferAndOneCall) {
    g_wanted = 5;
    EXPECT_EQ(run(R"({ "CMD_":"GLOG" })"), 5u);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].request, R"({ "CMD_":"GLOG" })");
    EXPECT_EQ(g_calls[0].capacity, 2048);
    EXPECT_EQ(g_calls[0].length, 17);
    EXPECT_FALSE(buffer_.on_heap());
    EXPECT_EQ(std::string(buffer_.data()), "SSSSS");
}

TEST_F(RunHandlerTest, AskingForMoreRoomGivesOneSecondCallWithTheRequestAgain) {
    const std::string request = R"({ "CMD_":"POLY" })";
    g_wanted = 10000;
    g_second_answer = 10000;
    EXPECT_EQ(run(request), 10000u);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].capacity, 10001);
    EXPECT_EQ(g_calls[1].request, request);   // not the scribbled first buffer
    EXPECT_EQ(g_calls[1].length, static_cast<int>(request.size()));
    EXPECT_EQ(std::strlen(buffer_.data()), 10000u);

    // A length equal to the capacity is not "more": the reply is cut.
    SetUp();
    g_wanted = 2048;
    EXPECT_EQ(run(request), 2047u);
    EXPECT_EQ(g_calls.size(), 1u);
}

TEST_F(RunHandlerTest, RepliesAreBoundedBy5MiBAndNegativeLengthsAreEmpty) {
    g_wanted = 0x7FFFFFF0;
    g_second_answer = 0x7FFFFFF0;   // still more than the 5 MiB buffer
    EXPECT_EQ(run(R"({ "CMD_":"BIG_" })"), 5242879u);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].capacity, 5242880);
    EXPECT_EQ(std::strlen(buffer_.data()), 5242879u);

    SetUp();
    g_wanted = -5;
    EXPECT_EQ(run(R"({ "CMD_":"NEG_" })"), 0u);
    EXPECT_EQ(buffer_.data()[0], '\0');
}

TEST_F(RunHandlerTest, RequestsOf5MiBAndMoreAreCutToTheBuffer) {
    std::string request = R"({ "CMD_":"HUGE", "X":")";
    request.append(6 * 1024 * 1024, 'x');
    request += "\" }";
    g_wanted = 100;   // first call: fits
    EXPECT_EQ(run(request), 100u);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].capacity, 5242881);
    EXPECT_EQ(g_calls[0].length, 5242880);
    EXPECT_EQ(g_calls[0].request.size(), 5242880u);

    // A handler asking for a little more than the capacity gets a buffer
    // no larger than 5 MiB, and the request is cut to fit it.
    SetUp();
    g_wanted = 5242882;
    g_second_answer = 10;
    EXPECT_EQ(run(request), 10u);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].capacity, 5242880);
    EXPECT_EQ(g_calls[1].length, 5242879);
    EXPECT_EQ(g_calls[1].request.size(), 5242879u);
}

}  // namespace
}  // namespace kv::helper
