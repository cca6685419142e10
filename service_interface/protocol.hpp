// The wire contract between the front ends and the agent service: bus names,
// paths, the exact command texts, size limits and the broadcast name list.
#pragma once

#include <cstddef>

namespace kv::svc {

inline constexpr const char kServiceName[] = "com.korvane.agent_server.command_listen";
inline constexpr const char kCommandPath[] = "/";
inline constexpr const char kCommandInterface[] = "com.korvane.agent_server.command";
inline constexpr const char kCommandMethod[] = "command_method";
inline constexpr const char kSignalPath[] = "/com/korvane/agent_server/signal";
inline constexpr const char kSignalInterface[] = "com.korvane.agent_server.signal";
inline constexpr const char kSignalMember[] = "Broadcast";
inline constexpr const char kSignalMatchRule[] =
    "type='signal',interface='com.korvane.agent_server.signal'";

// Command texts, byte for byte as the service receives them.
inline constexpr const char kCmdDriverConnected[] = R"({ "CMD_":"GDRV" })";
inline constexpr const char kCmdGetLogLevel[] = R"({ "CMD_":"GLOG" })";
inline constexpr const char kFmtSetLogLevel[] = R"({ "CMD_":"SLOG", "VALU":"%u" })";
inline constexpr const char kCmdPolicyTime[] = R"({ "CMD_":"GPUT" })";
inline constexpr const char kCmdPolicyCheck[] = R"({ "CMD_":"PLYU" })";
inline constexpr const char kCmdPolicyInfo[] = R"({ "CMD_":"POLY" })";
inline constexpr const char kCmdUpdateCheck[] = R"({ "CMD_":"CHKU" })";
inline constexpr const char kCmdScanStart[] = R"({ "CMD_":"SCAN", "START":" " })";
inline constexpr const char kCmdScanStop[] = R"({ "CMD_":"SCAN", "STOP":" " })";
inline constexpr const char kFmtScanDirectory[] = R"({ "%s": "%s", "%s": "%s" })";
inline constexpr const char kFmtThreatAction[] = R"({ "CMD_":"THRT", "%s":"%s" })";

inline constexpr const char kCommandMember[] = "CMD_";
inline constexpr const char kReplyResult[] = "RESP";
inline constexpr const char kReplyValue[] = "VALU";
inline constexpr const char kReplyOk[] = "OK";

// Longest command text a front end sends (and the server accepts).
inline constexpr std::size_t kMaxCommandLength = 0x500000;
// Replies are read into this many bytes; at most one less is kept.
inline constexpr std::size_t kReplyBufferSize = 2048;

// Broadcast names in index order; a name not in the list has index
// kSignalCount. The trailing null entry ends the list.
inline constexpr int kSignalCount = 26;
extern const char* const kSignalNames[kSignalCount + 1];

// Index of a broadcast name: exact, case-sensitive; kSignalCount when unknown.
int signal_index(const char* name) noexcept;

}  // namespace kv::svc
