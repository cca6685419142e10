// Removing the updater's working directory and the files the updater
// brings into it. Shared by both helper libraries.
#pragma once

#include <cstddef>
#include <span>

namespace kv::helper {

// The managed runtime's support libraries the updater brings along (the
// runtime the service and the updater run on), each named once here.
inline constexpr char kRuntimePosixLibrary[] = "libMonoPosixHelper.so";
inline constexpr char kRuntimeTlsLibrary[] = "libmono-btls-shared.so";

// What libkvhelper removes: the updater, this library and both runtime libraries.
inline constexpr const char* kHelperUpdaterFiles[] = {"kvupdate", "libkvhelper.so", kRuntimePosixLibrary,
                                                      kRuntimeTlsLibrary};

// If "/opt/korvane/desktop/updater_tmp" is a directory (not a link to
// one), removes each of `files` from it (errors ignored), then removes the
// directory. 0 when it is gone or was absent; -errno of the removal that
// failed.
int remove_updater_directory(std::span<const char* const> files) noexcept;

}  // namespace kv::helper
